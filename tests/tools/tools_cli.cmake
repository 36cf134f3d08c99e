# Tests that run the built cowguard command of one kernel line: the demo at
# a small size on both block sizes, --help of every command, --version, the
# exit codes and messages for bad arguments and missing input, and the console
# on a terminal.
function(cg_add_tool_cli_tests sub exe)
  set(line 2.6.${sub})
  set(expect ${CMAKE_SOURCE_DIR}/tests/tools/expect-exit.sh)
  foreach(bs 1024 4096)
    add_test(NAME ${line}/cli.demo_${bs}
      COMMAND ${exe} demo --size 16M --rounds 2 --block-size ${bs} --pause-ms 150)
    set_tests_properties(${line}/cli.demo_${bs} PROPERTIES TIMEOUT 240
      PASS_REGULAR_EXPRESSION "all checks passed")
  endforeach()
  add_test(NAME ${line}/cli.demo_json
    COMMAND ${expect} 0 "\"ok\": true" -- ${exe} demo --size 16M --rounds 1 --json --pause-ms 100)
  set_tests_properties(${line}/cli.demo_json PROPERTIES TIMEOUT 240)

  add_test(NAME ${line}/cli.help COMMAND ${expect} 0 "Subcommands:" -- ${exe} --help)
  foreach(cmd demo restore verify list check console serve backup status stop make-image)
    add_test(NAME ${line}/cli.help_${cmd} COMMAND ${expect} 0 "Usage: .* ${cmd}" -- ${exe} ${cmd} --help)
  endforeach()
  add_test(NAME ${line}/cli.no_subcommand COMMAND ${expect} 2 "subcommand" -- ${exe})
  add_test(NAME ${line}/cli.unknown_command COMMAND ${expect} 2 "unknown command 'bogus'" -- ${exe} bogus)
  add_test(NAME ${line}/cli.version
    COMMAND ${expect} 0 "module version 3.1.0 build 9504" -- ${exe} --version)
  add_test(NAME ${line}/cli.info_alias COMMAND ${expect} 0 "Usage: .* list" -- ${exe} info --help)
  add_test(NAME ${line}/cli.rounds_not_a_number
    COMMAND ${expect} 2 "--rounds: 'abc' is not a whole number" -- ${exe} demo --rounds abc)
  add_test(NAME ${line}/cli.rounds_out_of_range
    COMMAND ${expect} 2 "--rounds: 101 is out of range: 0 to 100" -- ${exe} demo --rounds 101)
  # --module after the subcommand is taken (here: a module that is not there).
  add_test(NAME ${line}/cli.module_after_subcommand
    COMMAND ${expect} 1 "insmod /nonexistent/cowguard.ko failed" --
            ${exe} demo --module /nonexistent/cowguard.ko --size 8M --rounds 0)
  add_test(NAME ${line}/cli.bad_option COMMAND ${expect} 2 "--bogus" -- ${exe} demo --bogus)
  add_test(NAME ${line}/cli.bad_size COMMAND ${expect} 2 "not a size" -- ${exe} demo --size 12Q)
  add_test(NAME ${line}/cli.size_too_small COMMAND ${expect} 2 "--size must be" -- ${exe} demo --size 1M)
  add_test(NAME ${line}/cli.bad_block_size
    COMMAND ${expect} 2 "must be 1024, 2048 or 4096 bytes .* not 1k" -- ${exe} demo --block-size 1k)
  add_test(NAME ${line}/cli.restore_needs_output COMMAND ${expect} 2 "output" -- ${exe} restore /tmp)
  add_test(NAME ${line}/cli.verify_missing_dir
    COMMAND ${expect} 3 "no such backup directory" -- ${exe} verify /nonexistent/cowguard-backups)
  add_test(NAME ${line}/cli.verify_not_a_backup_dir
    COMMAND ${expect} 3 "has no catalog.json" -- ${exe} verify ${CMAKE_SOURCE_DIR}/tests/tools)
  add_test(NAME ${line}/cli.restore_missing_dir
    COMMAND ${expect} 3 "no such backup directory" -- ${exe} restore /nonexistent/b -o /tmp/cowguard-never.img)
  add_test(NAME ${line}/cli.console_missing_script
    COMMAND ${expect} 3 "cannot read the script /nonexistent/s.cg" -- ${exe} console --script /nonexistent/s.cg)
  add_test(NAME ${line}/cli.console_script_is_a_directory
    COMMAND ${expect} 3 "cannot read the script ${CMAKE_SOURCE_DIR}/tests/tools/scripts: Is a directory" --
            ${exe} console --script ${CMAKE_SOURCE_DIR}/tests/tools/scripts)
  # On a terminal: the prompt before the first line, a line typed runs, quit.
  add_test(NAME ${line}/cli.console_on_terminal
    COMMAND ${CMAKE_SOURCE_DIR}/tests/tools/console-on-terminal.sh ${exe})
  set_tests_properties(${line}/cli.console_on_terminal PROPERTIES TIMEOUT 120)
  # A console script: every step as expected, and one that is not.
  add_test(NAME ${line}/cli.console_script
    COMMAND ${expect} 0 "expect CGD_ERR_BAD_COMMAND: ok" --
            ${exe} console --script ${CMAKE_SOURCE_DIR}/tests/tools/scripts/refusals.cg)
  add_test(NAME ${line}/cli.console_script_fails
    COMMAND ${expect} 1 "expect CGD_OK: FAILED" --
            ${exe} console --script ${CMAKE_SOURCE_DIR}/tests/tools/scripts/wrong-expect.cg)
endfunction()
