# The cowguard command: one executable per kernel line
# (lines/2.6.X/cowguard), and build/cowguard for the default line (2.6.18, or
# the last line configured).  The console and the chain commands live in a
# library that the tool tests link too.
find_package(CLI11 CONFIG REQUIRED)
find_package(nlohmann_json 3 REQUIRED)
# libedit: line editing and history for the console on a terminal.
find_package(PkgConfig REQUIRED)
pkg_check_modules(CG_LIBEDIT REQUIRED IMPORTED_TARGET libedit)

set(CG_TOOL_DIR ${CMAKE_SOURCE_DIR}/tools/cowguard)
set(CG_TOOL_LIB_SOURCES
  ${CG_TOOL_DIR}/args.cpp
  ${CG_TOOL_DIR}/names.cpp
  ${CG_TOOL_DIR}/progress.cpp
  ${CG_TOOL_DIR}/proc.cpp
  ${CG_TOOL_DIR}/console.cpp
  ${CG_TOOL_DIR}/console_disk.cpp
  ${CG_TOOL_DIR}/console_module.cpp
  ${CG_TOOL_DIR}/console_agent.cpp
  ${CG_TOOL_DIR}/console_edit.cpp
  ${CG_TOOL_DIR}/chain.cpp
  ${CG_TOOL_DIR}/demo.cpp)

# Tests that run the built command (demo, exit codes, --help).
include(${CMAKE_SOURCE_DIR}/tests/tools/tools_cli.cmake OPTIONAL)

function(cg_add_cowguard sub)
  set(line 2.6.${sub})
  set(lib cgtool-${line})
  add_library(${lib} STATIC ${CG_TOOL_LIB_SOURCES})
  target_include_directories(${lib} PUBLIC ${CG_TOOL_DIR} ${CMAKE_SOURCE_DIR}/module/2.6)
  target_link_libraries(${lib} PUBLIC cgkernel-${line} CLI11::CLI11 nlohmann_json::nlohmann_json
    PRIVATE PkgConfig::CG_LIBEDIT)
  target_compile_definitions(${lib} PRIVATE
    CG_MODULE_PATH="${CMAKE_BINARY_DIR}/lines/${line}/cowguard.ko"
    CG_KERNEL_LINE="${line}")
  # The agent and the workload are linked in when this tree has them.
  if(TARGET cgagent-${line})
    target_link_libraries(${lib} PUBLIC cgagent-${line})
    target_compile_definitions(${lib} PUBLIC CG_HAVE_AGENT=1)
  endif()
  if(TARGET cgworkload-${line})
    target_link_libraries(${lib} PUBLIC cgworkload-${line})
    target_compile_definitions(${lib} PUBLIC CG_HAVE_WORKLOAD=1)
  endif()

  set(exe cowguard-cmd-${line})
  add_executable(${exe} ${CG_TOOL_DIR}/main.cpp)
  target_link_libraries(${exe} PRIVATE ${lib})
  target_compile_definitions(${exe} PRIVATE CG_KERNEL_LINE="${line}")
  set_target_properties(${exe} PROPERTIES OUTPUT_NAME cowguard
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lines/${line})
  # The command loads the module of its line at run time.
  add_dependencies(${exe} cowguard-${line})

  list(GET CG_KERNEL_SUBLEVELS -1 last)
  if(sub STREQUAL "18" OR (NOT "18" IN_LIST CG_KERNEL_SUBLEVELS AND sub STREQUAL last))
    add_custom_command(TARGET ${exe} POST_BUILD
      COMMAND ${CMAKE_COMMAND} -E create_symlink lines/${line}/cowguard ${CMAKE_BINARY_DIR}/cowguard
      VERBATIM)
  endif()

  if(COMMAND cg_add_tool_cli_tests)
    cg_add_tool_cli_tests(${sub} $<TARGET_FILE:${exe}>)
  endif()
endfunction()
