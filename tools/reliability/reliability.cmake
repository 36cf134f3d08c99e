# Programs that prove reliability at scale and print their figures:
# kill9 (the daemon killed during backups; `make kill9`, a short run in ctest).
foreach(sub IN LISTS CG_KERNEL_SUBLEVELS)
  set(line 2.6.${sub})
  if(NOT TARGET nbdkit-cowguard-plugin-${line})
    continue()
  endif()
  add_executable(kill9-${line} ${CMAKE_SOURCE_DIR}/tools/reliability/kill9.cpp)
  target_link_libraries(kill9-${line} PRIVATE nlohmann_json::nlohmann_json)
  target_compile_definitions(kill9-${line} PRIVATE CG_KERNEL_LINE="${line}"
    CG_COWGUARD_EXE="$<TARGET_FILE:cowguard-cmd-${line}>"
    CG_CGSTAMP_EXE="$<$<TARGET_EXISTS:cgstamp>:$<TARGET_FILE:cgstamp>>")
  add_dependencies(kill9-${line} cowguard-cmd-${line})
  if(TARGET cgstamp)
    add_dependencies(kill9-${line} cgstamp)
  endif()
  set_target_properties(kill9-${line} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lines/${line})
  # A short run in the suite (not under a sanitizer: nbdkit cannot load the plugin then).
  if(NOT CG_SANITIZE)
    add_test(NAME ${line}/kill9.sample COMMAND kill9-${line} 12 ${sub} 16)
    set_tests_properties(${line}/kill9.sample PROPERTIES TIMEOUT 300)
  endif()
endforeach()

# soak: chains of backups under stamped writers, every point checked
# (`make soak`, a short run per line in the suite).
foreach(sub IN LISTS CG_KERNEL_SUBLEVELS)
  set(line 2.6.${sub})
  if(NOT TARGET nbdkit-cowguard-plugin-${line} OR NOT TARGET cgstamp)
    continue()
  endif()
  add_executable(soak-${line} ${CMAKE_SOURCE_DIR}/tools/reliability/soak.cpp)
  target_link_libraries(soak-${line} PRIVATE nlohmann_json::nlohmann_json)
  target_compile_definitions(soak-${line} PRIVATE CG_KERNEL_LINE="${line}"
    CG_COWGUARD_EXE="$<TARGET_FILE:cowguard-cmd-${line}>" CG_CGSTAMP_EXE="$<TARGET_FILE:cgstamp>")
  add_dependencies(soak-${line} cowguard-cmd-${line} cgstamp)
  set_target_properties(soak-${line} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lines/${line})
  if(NOT CG_SANITIZE)
    # One chain per block size of 5 incrementals.
    add_test(NAME ${line}/soak.sample COMMAND soak-${line} 1 16 5)
    set_tests_properties(${line}/soak.sample PROPERTIES TIMEOUT 600)
  endif()
endforeach()

# sweep: every fault site failed at its Nth call, N = 1, 2, ..., in a whole
# backup cycle per run (`make sweep`; a sample on one line in the suite).
foreach(sub IN LISTS CG_KERNEL_SUBLEVELS)
  set(line 2.6.${sub})
  if(NOT TARGET cgagent-${line})
    continue()
  endif()
  add_executable(sweep-${line} ${CMAKE_SOURCE_DIR}/tools/reliability/sweep.cpp)
  target_link_libraries(sweep-${line} PRIVATE cgagent-${line} cgkernel-${line} nlohmann_json::nlohmann_json)
  target_compile_definitions(sweep-${line} PRIVATE CG_KERNEL_LINE="${line}"
    CG_MODULE_PATH="${CMAKE_BINARY_DIR}/lines/${line}/cowguard.ko")
  add_dependencies(sweep-${line} cowguard-${line})
  set_target_properties(sweep-${line} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lines/${line})
endforeach()
list(GET CG_KERNEL_SUBLEVELS -1 cg_sweep_sub)
if(TARGET sweep-2.6.${cg_sweep_sub})
  add_test(NAME 2.6.${cg_sweep_sub}/sweep.sample COMMAND sweep-2.6.${cg_sweep_sub} --sample 3 --jobs 2)
  set_tests_properties(2.6.${cg_sweep_sub}/sweep.sample PROPERTIES TIMEOUT 900)
endif()
