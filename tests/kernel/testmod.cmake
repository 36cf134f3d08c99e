# Small loadable modules for the loader and character-device tests, built per
# kernel line with the cowguard module's flags, and the ctests of the module
# symbol check.
set(CG_TESTMOD_DIR ${CMAKE_SOURCE_DIR}/tests/kernel/testmod)

# One module object: sources, output name, compile definitions; check = ON
# runs the symbol check after linking, as for cowguard.ko.
function(cg_add_testmod line target output check)
  set(out ${CMAKE_BINARY_DIR}/lines/${line}/testmod)
  cg_module_record(${line} ${output} modrec)
  add_library(${target} MODULE ${ARGN} ${modrec})
  target_include_directories(${target} PRIVATE
    ${CMAKE_BINARY_DIR}/lines/${line}/include
    ${CMAKE_SOURCE_DIR}/kernel/include
    ${CG_TESTMOD_DIR})
  target_compile_options(${target} PRIVATE
    -nostdinc -nostdinc++ -fno-exceptions -fno-rtti -fno-threadsafe-statics
    -fno-gnu-unique -fno-stack-protector -fno-asynchronous-unwind-tables
    -fno-unwind-tables -fno-common -fvisibility=default
    -Wno-missing-field-initializers)
  target_link_options(${target} PRIVATE -nostdlib -Wl,--build-id)
  set_target_properties(${target} PROPERTIES
    PREFIX "" OUTPUT_NAME ${output} SUFFIX ".ko"
    LIBRARY_OUTPUT_DIRECTORY ${out})
  add_dependencies(${target} cgkernel-${line})
  if(check)
    add_custom_command(TARGET ${target} POST_BUILD
      COMMAND ${CMAKE_SOURCE_DIR}/tools/check-module-symbols.sh
              $<TARGET_FILE:${target}> ${line} ${CG_KERNEL_LISTS} "${CG_SANITIZE}"
      VERBATIM)
  endif()
endfunction()

function(cg_add_testmods sub)
  set(line 2.6.${sub})
  set(src ${CG_TESTMOD_DIR}/testmod.cpp)
  cg_add_testmod(${line} testmod-${line} testmod ON ${src})
  cg_add_testmod(${line} testmod-badinit-${line} testmod_badinit ON ${src})
  target_compile_definitions(testmod-badinit-${line} PRIVATE
    TESTMOD_NAME="testmod_badinit" TESTMOD_MAJOR=241 TESTMOD_INIT_RESULT=-ENODEV)
  cg_add_testmod(${line} testmod-posinit-${line} testmod_posinit ON ${src})
  target_compile_definitions(testmod-posinit-${line} PRIVATE
    TESTMOD_NAME="testmod_posinit" TESTMOD_MAJOR=242 TESTMOD_INIT_RESULT=7)
  cg_add_testmod(${line} testmod-libc-${line} libc_user OFF ${CG_TESTMOD_DIR}/libc_user.cpp)

  if(TARGET kernel_tests-${line})
    target_compile_definitions(kernel_tests-${line} PRIVATE
      CG_TESTMOD_DIR="${CMAKE_BINARY_DIR}/lines/${line}/testmod")
    add_dependencies(kernel_tests-${line} testmod-${line} testmod-badinit-${line}
      testmod-posinit-${line})
  endif()

  add_test(NAME ${line}/ModuleSymbols.CowguardUsesOnlyWhatTheRealKernelOffers
    COMMAND ${CMAKE_SOURCE_DIR}/tools/check-module-symbols.sh
            $<TARGET_FILE:cowguard-${line}> ${line} ${CG_KERNEL_LISTS} "${CG_SANITIZE}")
  # The stand-in's kernel headers offer on each line only what that line's
  # headers offer, and the module names nothing of the stand-in's own.
  add_test(NAME ${line}/KernelHeaders.OfferOnlyWhatTheRealLineOffers
    COMMAND ${CMAKE_SOURCE_DIR}/tools/check-kernel-headers.sh ${line} ${CG_KERNEL_LISTS}
            ${CMAKE_BINARY_DIR}/lines/${line}/include ${CMAKE_SOURCE_DIR}/kernel/include
            ${CMAKE_SOURCE_DIR}/module/2.6)
  add_test(NAME ${line}/KernelHeaders.RejectAnInventedName
    COMMAND bash ${CMAKE_SOURCE_DIR}/tests/kernel/headers/expect-rejected-name.sh
            ${CMAKE_SOURCE_DIR}/tools/check-kernel-headers.sh ${line} ${CG_KERNEL_LISTS}
            ${CMAKE_BINARY_DIR}/lines/${line}/include ${CMAKE_SOURCE_DIR}/kernel/include)
  add_test(NAME ${line}/ModuleSymbols.RejectsLibcAndRuntimeCalls
    COMMAND bash ${CG_TESTMOD_DIR}/expect-rejected.sh
            ${CMAKE_SOURCE_DIR}/tools/check-module-symbols.sh
            $<TARGET_FILE:testmod-libc-${line}> ${line} ${CG_KERNEL_LISTS} "${CG_SANITIZE}"
            malloc _Znwm)
endfunction()
