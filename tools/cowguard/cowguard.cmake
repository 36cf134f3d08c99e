# The cowguard command: one executable per kernel line
# (lines/2.6.X/cowguard), and build/cowguard for the default line (2.6.18, or
# the last line configured).  The console and the chain commands live in a
# library that the tool tests link too.  Installed (cmake --install): each
# line's command, bin/cowguard, the manual pages and the bash completion.
find_package(CLI11 CONFIG REQUIRED)
find_package(nlohmann_json 3 REQUIRED)
# libedit: line editing and history for the console on a terminal.
find_package(PkgConfig REQUIRED)
pkg_check_modules(CG_LIBEDIT REQUIRED IMPORTED_TARGET libedit)

set(CG_TOOL_DIR ${CMAKE_SOURCE_DIR}/tools/cowguard)
set(CG_TOOL_LIB_SOURCES
  ${CG_TOOL_DIR}/args.cpp
  ${CG_TOOL_DIR}/exit_codes.cpp
  ${CG_TOOL_DIR}/names.cpp
  ${CG_TOOL_DIR}/progress.cpp
  ${CG_TOOL_DIR}/report.cpp
  ${CG_TOOL_DIR}/proc.cpp
  ${CG_TOOL_DIR}/console.cpp
  ${CG_TOOL_DIR}/console_disk.cpp
  ${CG_TOOL_DIR}/console_module.cpp
  ${CG_TOOL_DIR}/console_agent.cpp
  ${CG_TOOL_DIR}/console_steps.cpp
  ${CG_TOOL_DIR}/console_edit.cpp
  ${CG_TOOL_DIR}/chain.cpp
  ${CG_TOOL_DIR}/serve_cmd.cpp
  ${CG_TOOL_DIR}/demo.cpp)

# Tests that run the built command (demo, exit codes, --help).
include(${CMAKE_SOURCE_DIR}/tests/tools/tools_cli.cmake OPTIONAL)

# The command's manual pages (one per subcommand) and its bash completion.
file(GLOB CG_MAN_PAGES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/man/*.1)
install(FILES ${CG_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CG_TOOL_DIR}/completion/cowguard.bash
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME cowguard)

# The default kernel line: build/cowguard and the installed bin/cowguard run
# its command.  2.6.18, or the last line configured.
if("18" IN_LIST CG_KERNEL_SUBLEVELS)
  set(CG_DEFAULT_SUBLEVEL 18)
else()
  list(GET CG_KERNEL_SUBLEVELS -1 CG_DEFAULT_SUBLEVEL)
endif()

# Where an installed command of `line` finds its line's module and kernel
# library: their folder relative to the command's own (absolute when the
# library folder was given as an absolute path).  Set in `out_var`.
function(cg_install_line_lib_dir line out_var)
  if(IS_ABSOLUTE ${CG_INSTALL_LIB_DIR})
    set(${out_var} ${CG_INSTALL_LIB_DIR}/${line} PARENT_SCOPE)
    return()
  endif()
  cmake_path(ABSOLUTE_PATH CG_INSTALL_EXEC_DIR BASE_DIRECTORY ${CMAKE_INSTALL_PREFIX}
             OUTPUT_VARIABLE exec_dir)
  cmake_path(ABSOLUTE_PATH CG_INSTALL_LIB_DIR BASE_DIRECTORY ${CMAKE_INSTALL_PREFIX}
             OUTPUT_VARIABLE lib_dir)
  file(RELATIVE_PATH rel ${exec_dir}/${line} ${lib_dir}/${line})
  set(${out_var} ${rel} PARENT_SCOPE)
endfunction()

function(cg_add_cowguard sub)
  set(line 2.6.${sub})
  set(lib cgtool-${line})
  foreach(part cgagent-${line} cgworkload-${line})
    if(NOT TARGET ${part})
      message(FATAL_ERROR "the cowguard command needs the agent and the workload: "
                          "list workload and agent before cowguard in CG_USER_PARTS")
    endif()
  endforeach()
  add_library(${lib} STATIC ${CG_TOOL_LIB_SOURCES})
  target_include_directories(${lib} PUBLIC ${CG_TOOL_DIR} ${CMAKE_SOURCE_DIR}/module/2.6)
  target_link_libraries(${lib} PUBLIC cgkernel-${line} cgagent-${line} cgworkload-${line} CLI11::CLI11 nlohmann_json::nlohmann_json
    PRIVATE PkgConfig::CG_LIBEDIT)
  cg_install_line_lib_dir(${line} line_lib)
  # The module an installed command loads by default is found relative to
  # its executable (CG_INSTALLED_MODULE); in the build tree it is the one
  # built beside it, and CG_MODULE_PATH the last resort.
  target_compile_definitions(${lib} PRIVATE
    CG_MODULE_PATH="${CMAKE_BINARY_DIR}/lines/${line}/cowguard.ko"
    CG_INSTALLED_MODULE="${line_lib}/cowguard.ko"
    CG_NBD_PLUGIN="${CMAKE_BINARY_DIR}/lines/${line}/nbdkit-cowguard-plugin.so"
    CG_INSTALLED_NBD_PLUGIN="${line_lib}/nbdkit-cowguard-plugin.so"
    CG_KERNEL_LINE="${line}")
  set(exe cowguard-cmd-${line})
  add_executable(${exe} ${CG_TOOL_DIR}/main.cpp)
  target_link_libraries(${exe} PRIVATE ${lib})
  target_compile_definitions(${exe} PRIVATE CG_KERNEL_LINE="${line}" CG_TOOL_VERSION="${PROJECT_VERSION}")
  set_target_properties(${exe} PROPERTIES OUTPUT_NAME cowguard
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lines/${line})
  # The command loads the module of its line at run time.
  add_dependencies(${exe} cowguard-${line})
  if(IS_ABSOLUTE ${line_lib})
    set_target_properties(${exe} PROPERTIES INSTALL_RPATH "${line_lib}")
  else()
    set_target_properties(${exe} PROPERTIES INSTALL_RPATH "$ORIGIN/${line_lib}")
  endif()
  install(TARGETS ${exe} RUNTIME DESTINATION ${CG_INSTALL_EXEC_DIR}/${line})

  if(sub STREQUAL CG_DEFAULT_SUBLEVEL)
    add_custom_command(TARGET ${exe} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E create_symlink lines/${line}/cowguard ${CMAKE_BINARY_DIR}/cowguard
      VERBATIM)
    # Installed, bin/cowguard is a relative link to this line's command (which
    # finds its library and module from its own folder, through the link).
    cmake_path(ABSOLUTE_PATH CMAKE_INSTALL_BINDIR BASE_DIRECTORY ${CMAKE_INSTALL_PREFIX}
               OUTPUT_VARIABLE bin_dir)
    cmake_path(ABSOLUTE_PATH CG_INSTALL_EXEC_DIR BASE_DIRECTORY ${CMAKE_INSTALL_PREFIX}
               OUTPUT_VARIABLE exec_dir)
    file(RELATIVE_PATH to_exe ${bin_dir} ${exec_dir}/${line}/cowguard)
    file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/install-links)
    file(CREATE_LINK ${to_exe} ${CMAKE_BINARY_DIR}/install-links/cowguard SYMBOLIC)
    install(FILES ${CMAKE_BINARY_DIR}/install-links/cowguard DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()

  if(COMMAND cg_add_tool_cli_tests)
    cg_add_tool_cli_tests(${sub} $<TARGET_FILE:${exe}>)
  endif()
endfunction()
