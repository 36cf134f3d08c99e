# cowguard serve: the daemon's machine (disks, exports, freeze gate,
# backups, control socket) as a library that tests link, and the nbdkit
# plugin that runs it inside nbdkit (lines/2.6.X/nbdkit-cowguard-plugin.so,
# beside the line's module; installed there too).
include(CheckIncludeFileCXX)
check_include_file_cxx(nbdkit-plugin.h CG_HAVE_NBDKIT_PLUGIN_H)

set(CG_SERVE_DIR ${CMAKE_SOURCE_DIR}/serve)

function(cg_add_serve sub)
  set(line 2.6.${sub})
  if(NOT TARGET cgtool-${line} OR NOT TARGET cgagent-${line})
    return()
  endif()
  add_library(cgserve-${line} STATIC
    ${CG_SERVE_DIR}/gate.cpp ${CG_SERVE_DIR}/server.cpp ${CG_SERVE_DIR}/control.cpp)
  target_include_directories(cgserve-${line} PUBLIC ${CG_SERVE_DIR})
  target_link_libraries(cgserve-${line} PUBLIC cgtool-${line})
  target_compile_definitions(cgserve-${line} PRIVATE CG_KERNEL_LINE="${line}")

  if(NOT CG_HAVE_NBDKIT_PLUGIN_H)
    message(STATUS "nbdkit-plugin.h not found: no nbdkit plugin for ${line} (cowguard serve will say so)")
    return()
  endif()
  set(plugin nbdkit-cowguard-plugin-${line})
  add_library(${plugin} MODULE ${CG_SERVE_DIR}/plugin.cpp)
  target_link_libraries(${plugin} PRIVATE cgserve-${line})
  target_compile_definitions(${plugin} PRIVATE CG_TOOL_VERSION="${PROJECT_VERSION}")
  set_target_properties(${plugin} PROPERTIES PREFIX "" OUTPUT_NAME nbdkit-cowguard-plugin
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lines/${line}
    INSTALL_RPATH "$ORIGIN")
  add_dependencies(${plugin} cowguard-${line})
  add_dependencies(cowguard-cmd-${line} ${plugin})
  install(TARGETS ${plugin} LIBRARY DESTINATION ${CG_INSTALL_LIB_DIR}/${line})
  if(COMMAND cg_add_serve_tests)
    cg_add_serve_tests(${sub})
  endif()
endfunction()

include(${CMAKE_SOURCE_DIR}/tests/serve/serve_tests.cmake OPTIONAL)
