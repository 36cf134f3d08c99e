# Test programs, one per suite and kernel line.  Every test case runs in its
# own process (ctest), so a case that stops the kernel stops only itself.
file(GLOB CG_TEST_SUPPORT CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/support/*.cpp)
file(GLOB CG_TEST_KERNEL CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/kernel/*.cpp)
file(GLOB CG_TEST_DEVICE CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/device/*.cpp)
file(GLOB CG_TEST_FUNCTIONS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/functions/*.cpp)
file(GLOB CG_TEST_E2E CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/e2e/*.cpp)
file(GLOB CG_TEST_WORKLOAD CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/workload/*.cpp)
file(GLOB CG_TEST_AGENT CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/agent/*.cpp)
file(GLOB CG_TEST_TOOLS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/tools/*.cpp)
include(${CMAKE_SOURCE_DIR}/tests/kernel/testmod.cmake)
include(${CMAKE_SOURCE_DIR}/tests/tools/install/install.cmake)

function(cg_add_suite sub suite)
  set(line 2.6.${sub})
  set(name ${suite}_tests-${line})
  add_executable(${name} ${ARGN} ${CG_TEST_SUPPORT})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/tests ${CMAKE_SOURCE_DIR}/module/2.6)
  target_link_libraries(${name} PRIVATE cgkernel-${line} GTest::gtest GTest::gmock)
  target_compile_definitions(${name} PRIVATE
    CG_MODULE_PATH="${CMAKE_BINARY_DIR}/lines/${line}/cowguard.ko"
    CG_KERNEL_LINE="${line}"
    CG_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
  add_dependencies(${name} cowguard-${line})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lines/${line})
  gtest_discover_tests(${name} TEST_PREFIX "${line}/" DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 300)
endfunction()

function(cg_add_tests sub)
  if(CG_TEST_KERNEL)
    cg_add_suite(${sub} kernel ${CG_TEST_KERNEL})
  endif()
  cg_add_testmods(${sub})
  if(CG_TEST_DEVICE)
    # The module loaded, driven through /dev/cowguard and the system calls.
    cg_add_suite(${sub} device ${CG_TEST_DEVICE})
  endif()
  if(CG_TEST_FUNCTIONS)
    # White-box cases link the module's objects directly and call its
    # functions; the module is not loaded through the loader there.
    # (and the module record the build generated for the module).
    cg_add_suite(${sub} functions ${CG_TEST_FUNCTIONS} $<TARGET_OBJECTS:cowguard-objs-2.6.${sub}>
      ${CMAKE_BINARY_DIR}/lines/2.6.${sub}/mod/cowguard.mod.cpp)
  endif()
  if(CG_TEST_E2E)
    cg_add_suite(${sub} e2e ${CG_TEST_E2E})
  endif()
  if(CG_TEST_WORKLOAD AND TARGET cgworkload-2.6.${sub})
    cg_add_suite(${sub} workload ${CG_TEST_WORKLOAD})
    target_link_libraries(workload_tests-2.6.${sub} PRIVATE cgworkload-2.6.${sub})
    target_include_directories(workload_tests-2.6.${sub} PRIVATE ${CMAKE_SOURCE_DIR}/workload/src)
  endif()
  if(CG_TEST_AGENT AND TARGET cgagent-2.6.${sub} AND TARGET cgworkload-2.6.${sub})
    # Backups of live file systems: the agent with the ext4 workload.
    cg_add_suite(${sub} agent ${CG_TEST_AGENT})
    target_link_libraries(agent_tests-2.6.${sub} PRIVATE cgagent-2.6.${sub} cgworkload-2.6.${sub})
  endif()
  if(CG_TEST_TOOLS AND TARGET cgtool-2.6.${sub})
    # The cowguard command's console and chain commands, in process and
    # through the built command.
    cg_add_suite(${sub} tools ${CG_TEST_TOOLS})
    target_link_libraries(tools_tests-2.6.${sub} PRIVATE cgtool-2.6.${sub})
    # And the built command, run as a child process.
    target_compile_definitions(tools_tests-2.6.${sub} PRIVATE
      CG_COWGUARD_EXE="$<TARGET_FILE:cowguard-cmd-2.6.${sub}>")
    add_dependencies(tools_tests-2.6.${sub} cowguard-cmd-2.6.${sub})
  endif()
  cg_add_install_tests(${sub})
endfunction()
