# The coverage-guided fuzzer of the control device (make fuzz).  Included
# only when CG_FUZZ is on, in a build of its own configured with clang and
# CG_SANITIZE=address: every object of the build (the stand-in kernel, the
# module, the fuzz target) is compiled with libFuzzer's coverage hooks on
# top of ASan+UBSan; the fuzz target alone links libFuzzer's main.
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "CG_FUZZ needs clang (configure with CC=clang CXX=clang++)")
endif()
if(NOT CG_SANITIZE STREQUAL "address")
  message(FATAL_ERROR "CG_FUZZ needs -DCG_SANITIZE=address")
endif()
# Adjusts the module's flags for clang once module.cmake has made its
# targets (deferred to the end of the directory):
#  - g++'s -fno-gnu-unique goes: clang has no such option and never emits
#    STB_GNU_UNIQUE symbols (check-module-symbols.sh still refuses them);
#  - -fsanitize=function needs the C++ ABI's type_info of function types,
#    which a module built without RTTI and without a C++ library lacks;
#  - coverage's stack-depth tracking refers to libFuzzer's own variable
#    __sancov_lowest_stack, which no kernel offers a module (the module's
#    undefined symbols may only be the kernel's and the sanitizers' hooks).
#    The module keeps edge counters, compare tracing and the PC table.
function(cg_fuzz_module_flags)
  foreach(sub IN LISTS CG_KERNEL_SUBLEVELS)
    foreach(t cowguard-objs-2.6.${sub} cowguard-2.6.${sub})
      if(TARGET ${t})
        get_target_property(opts ${t} COMPILE_OPTIONS)
        if(opts)
          list(REMOVE_ITEM opts -fno-gnu-unique)
          list(APPEND opts -fsanitize=fuzzer-no-link -fno-sanitize=function
               -fno-sanitize-coverage=stack-depth)
          set_target_properties(${t} PROPERTIES COMPILE_OPTIONS "${opts}")
        endif()
      endif()
    endforeach()
  endforeach()
endfunction()
cmake_language(DEFER CALL cg_fuzz_module_flags)

# One fuzzer per kernel line: build/lines/2.6.X/cowguard-fuzz.
foreach(sub IN LISTS CG_KERNEL_SUBLEVELS)
  set(line 2.6.${sub})
  add_executable(cowguard-fuzz-${line} ${CMAKE_SOURCE_DIR}/tools/fuzz/fuzz_control.cpp)
  target_include_directories(cowguard-fuzz-${line} PRIVATE ${CMAKE_SOURCE_DIR}/module/2.6)
  target_link_libraries(cowguard-fuzz-${line} PRIVATE cgkernel-${line})
  target_compile_options(cowguard-fuzz-${line} PRIVATE -fsanitize=fuzzer-no-link)
  target_link_options(cowguard-fuzz-${line} PRIVATE -fsanitize=fuzzer)
  target_compile_definitions(cowguard-fuzz-${line} PRIVATE
    CG_MODULE_PATH="${CMAKE_BINARY_DIR}/lines/${line}/cowguard.ko")
  add_dependencies(cowguard-fuzz-${line} cowguard-${line})
  set_target_properties(cowguard-fuzz-${line} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lines/${line}
    OUTPUT_NAME cowguard-fuzz)
endforeach()
