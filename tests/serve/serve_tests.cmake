# Tests of cowguard serve: the daemon's machine in process (serve_tests), and
# the built command with nbdkit and real NBD clients (qemu-io, fio, nbdcopy,
# nbdinfo) as child processes (serve_e2e_tests).  nbdkit cannot load a
# plugin built with a sanitizer, so the child-process tests skip themselves
# in those builds; the in-process ones run there too.
function(cg_add_serve_tests sub)
  set(line 2.6.${sub})
  cg_add_suite(${sub} serve ${CMAKE_SOURCE_DIR}/tests/serve/server_test.cpp
    ${CMAKE_SOURCE_DIR}/tests/serve/stamp_test.cpp)
  target_link_libraries(serve_tests-${line} PRIVATE cgserve-${line} cgstamplib)
  file(GLOB e2e CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/serve/*_e2e_test.cpp)
  if(e2e)
    cg_add_suite(${sub} serve_e2e ${e2e})
    target_link_libraries(serve_e2e_tests-${line} PRIVATE cgserve-${line})
    target_compile_definitions(serve_e2e_tests-${line} PRIVATE
      CG_COWGUARD_EXE="$<TARGET_FILE:cowguard-cmd-${line}>"
      CG_SANITIZED=$<BOOL:${CG_SANITIZE}>
      CG_CGSTAMP_EXE="$<$<TARGET_EXISTS:cgstamp>:$<TARGET_FILE:cgstamp>>")
    add_dependencies(serve_e2e_tests-${line} cowguard-cmd-${line})
    if(TARGET cgstamp)
      add_dependencies(serve_e2e_tests-${line} cgstamp)
    endif()
  endif()
endfunction()
