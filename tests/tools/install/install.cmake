# Tests of what `cmake --install` delivers: the installed command of each
# line (it runs and loads the installed module and kernel library), the
# manual pages (they render clean and cover every subcommand and option) and
# the bash completion (it offers every subcommand and option).
set(CG_INSTALL_TEST_DIR ${CMAKE_SOURCE_DIR}/tests/tools/install)
set(CG_COMPLETION_SCRIPT ${CMAKE_SOURCE_DIR}/tools/cowguard/completion/cowguard.bash)

file(GLOB CG_TEST_MAN_PAGES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/man/*.1)
foreach(page IN LISTS CG_TEST_MAN_PAGES)
  get_filename_component(name ${page} NAME)
  string(REGEX REPLACE "\\.1$" "" name ${name})
  add_test(NAME man.${name} COMMAND ${CG_INSTALL_TEST_DIR}/man-lint.sh ${page})
endforeach()
add_test(NAME completion.cases COMMAND bash ${CG_INSTALL_TEST_DIR}/completion-test.sh ${CG_COMPLETION_SCRIPT})

function(cg_add_install_tests sub)
  set(line 2.6.${sub})
  if(NOT TARGET cowguard-cmd-${line})
    return()
  endif()
  set(exe $<TARGET_FILE:cowguard-cmd-${line}>)
  if(sub STREQUAL "${CG_DEFAULT_SUBLEVEL}")
    set(default yes)
  else()
    set(default no)
  endif()
  add_test(NAME ${line}/install.command
    COMMAND ${CG_INSTALL_TEST_DIR}/install-test.sh ${CMAKE_COMMAND} ${CMAKE_BINARY_DIR} ${line} ${default}
            ${CMAKE_INSTALL_BINDIR} ${CG_INSTALL_EXEC_DIR} ${CG_INSTALL_LIB_DIR}
            ${CMAKE_INSTALL_MANDIR} ${CMAKE_INSTALL_DATADIR} ${CG_INSTALL_TEST_DIR}/insmod.cg)
  # Every install rewrites the build's install_manifest.txt: one at a time.
  set_tests_properties(${line}/install.command PROPERTIES TIMEOUT 300 RESOURCE_LOCK cowguard-install)
  add_test(NAME ${line}/man.covers_command
    COMMAND ${CG_INSTALL_TEST_DIR}/man-coverage.sh ${exe} ${CMAKE_SOURCE_DIR}/docs/man)
  add_test(NAME ${line}/completion.covers_command
    COMMAND bash ${CG_INSTALL_TEST_DIR}/completion-test.sh ${CG_COMPLETION_SCRIPT} --against ${exe})
endfunction()
