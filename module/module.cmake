# The cowguard module, built per kernel line as a loadable shared object
# ("cowguard.ko") against the kernel headers only: no C or C++ library
# headers, no exceptions, no RTTI, no unwind tables, no global constructors.
file(GLOB CG_MODULE_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/module/2.6/*.cpp)

function(cg_add_module sub)
  set(line 2.6.${sub})
  set(out ${CMAKE_BINARY_DIR}/lines/${line})
  # The objects are shared by the loadable module and the white-box tests.
  add_library(cowguard-objs-${line} OBJECT ${CG_MODULE_SOURCES})
  target_include_directories(cowguard-objs-${line} PRIVATE
    ${CMAKE_BINARY_DIR}/lines/${line}/include
    ${CMAKE_SOURCE_DIR}/kernel/include
    ${CMAKE_SOURCE_DIR}/module/2.6)
  target_compile_options(cowguard-objs-${line} PRIVATE
    -nostdinc -nostdinc++ -fno-exceptions -fno-rtti -fno-threadsafe-statics
    -fno-gnu-unique -fno-stack-protector -fno-asynchronous-unwind-tables
    -fno-unwind-tables -fno-common -fvisibility=default)
  add_dependencies(cowguard-objs-${line} cgkernel-${line})
  # The module record is the build's, not the module's source.
  cg_module_record(${line} cowguard modrec)
  add_library(cowguard-${line} MODULE $<TARGET_OBJECTS:cowguard-objs-${line}> ${modrec})
  target_include_directories(cowguard-${line} PRIVATE
    ${CMAKE_BINARY_DIR}/lines/${line}/include
    ${CMAKE_SOURCE_DIR}/kernel/include)
  target_compile_options(cowguard-${line} PRIVATE
    -nostdinc -nostdinc++ -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
    -fno-unwind-tables -fno-common)
  target_link_options(cowguard-${line} PRIVATE -nostdlib -Wl,--build-id)
  set_target_properties(cowguard-${line} PROPERTIES
    PREFIX "" OUTPUT_NAME cowguard SUFFIX ".ko"
    LIBRARY_OUTPUT_DIRECTORY ${out})
  add_dependencies(cowguard-${line} cgkernel-${line})
  install(TARGETS cowguard-${line} LIBRARY DESTINATION ${CG_INSTALL_LIB_DIR}/${line})
  # Build check: the module may use only what the real kernel of its line
  # exports or provides in its headers.
  add_custom_command(TARGET cowguard-${line} POST_BUILD
    COMMAND ${CMAKE_SOURCE_DIR}/tools/check-module-symbols.sh
            $<TARGET_FILE:cowguard-${line}> ${line} ${CG_KERNEL_LISTS} "${CG_SANITIZE}"
    VERBATIM)
endfunction()
