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
    $<TARGET_OBJECTS:cowguard-objs-${line}>)
  target_include_directories(bench_blockmap-${line} PRIVATE ${CMAKE_SOURCE_DIR}/module/2.6)
  target_link_libraries(bench_blockmap-${line} PRIVATE cgkernel-${line})
  set_target_properties(bench_blockmap-${line} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lines/${line})
endforeach()
