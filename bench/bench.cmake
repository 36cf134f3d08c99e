# Benchmarks: programs that print figures (they assert nothing).  One per
# kernel line, next to that line's tests, so that `make bench` finds them.
foreach(sub IN LISTS CG_KERNEL_SUBLEVELS)
  set(line 2.6.${sub})
  add_executable(bench_block-${line} ${CMAKE_SOURCE_DIR}/bench/bench_block.cpp)
  target_link_libraries(bench_block-${line} PRIVATE cgkernel-${line})
  target_compile_definitions(bench_block-${line} PRIVATE CG_KERNEL_LINE="${line}")
  set_target_properties(bench_block-${line} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lines/${line})
  # The module's block bitmap, called directly: linked with the module's objects.
  add_executable(bench_blockmap-${line} ${CMAKE_SOURCE_DIR}/bench/blockmap_bench.cpp
    $<TARGET_OBJECTS:cowguard-objs-${line}> ${CMAKE_BINARY_DIR}/lines/${line}/mod/cowguard.mod.cpp)
  target_include_directories(bench_blockmap-${line} PRIVATE ${CMAKE_SOURCE_DIR}/module/2.6)
  target_link_libraries(bench_blockmap-${line} PRIVATE cgkernel-${line})
  set_target_properties(bench_blockmap-${line} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lines/${line})
endforeach()

# Backups through the loaded module with the agent (when the agent is built).
foreach(sub IN LISTS CG_KERNEL_SUBLEVELS)
  set(line 2.6.${sub})
  if(NOT TARGET cgagent-${line})
    continue()
  endif()
  add_executable(bench_backup-${line} ${CMAKE_SOURCE_DIR}/bench/backup_bench.cpp)
  target_link_libraries(bench_backup-${line} PRIVATE cgagent-${line} cgkernel-${line})
  target_compile_definitions(bench_backup-${line} PRIVATE CG_KERNEL_LINE="${line}"
    CG_MODULE_PATH="${CMAKE_BINARY_DIR}/lines/${line}/cowguard.ko")
  add_dependencies(bench_backup-${line} cowguard-${line})
  set_target_properties(bench_backup-${line} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lines/${line})
  # What tracking and copy-before-write cost the writers, as ratios.
  add_executable(bench_cost-${line} ${CMAKE_SOURCE_DIR}/bench/cost_bench.cpp)
  target_link_libraries(bench_cost-${line} PRIVATE cgagent-${line} cgkernel-${line})
  target_compile_definitions(bench_cost-${line} PRIVATE CG_KERNEL_LINE="${line}"
    CG_MODULE_PATH="${CMAKE_BINARY_DIR}/lines/${line}/cowguard.ko")
  add_dependencies(bench_cost-${line} cowguard-${line})
  set_target_properties(bench_cost-${line} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lines/${line})
endforeach()

# The daemon under fio (nbdkit and fio at run time): the cowguard command of
# the line starts it.
foreach(sub IN LISTS CG_KERNEL_SUBLEVELS)
  set(line 2.6.${sub})
  if(NOT TARGET nbdkit-cowguard-plugin-${line})
    continue()
  endif()
  add_executable(bench_serve-${line} ${CMAKE_SOURCE_DIR}/bench/serve_bench.cpp)
  target_link_libraries(bench_serve-${line} PRIVATE nlohmann_json::nlohmann_json Threads::Threads)
  target_compile_definitions(bench_serve-${line} PRIVATE CG_KERNEL_LINE="${line}"
    CG_COWGUARD_EXE="$<TARGET_FILE:cowguard-cmd-${line}>")
  add_dependencies(bench_serve-${line} cowguard-cmd-${line})
  set_target_properties(bench_serve-${line} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lines/${line})
endforeach()
