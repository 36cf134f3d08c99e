# The stand-in kernel, built once per kernel line as a shared library whose
# exported C interface is what modules link against.
file(GLOB_RECURSE CG_KERNEL_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/kernel/src/*.cpp)

function(cg_add_kernel_line sub)
  set(line 2.6.${sub})
  set(gen ${CMAKE_BINARY_DIR}/lines/${line}/include)
  set(CG_KERNEL_RELEASE ${line})
  math(EXPR CG_LINUX_VERSION_CODE "(2 << 16) + (6 << 8) + ${sub}")
  configure_file(${CMAKE_SOURCE_DIR}/kernel/version.h.in ${gen}/linux/version.h @ONLY)

  add_library(cgkernel-${line} SHARED ${CG_KERNEL_SOURCES})
  target_include_directories(cgkernel-${line}
    PUBLIC ${gen} ${CMAKE_SOURCE_DIR}/kernel/include
    PRIVATE ${CMAKE_SOURCE_DIR}/kernel/src)
  target_link_libraries(cgkernel-${line} PUBLIC Threads::Threads ${CMAKE_DL_LIBS})
  set_target_properties(cgkernel-${line} PROPERTIES
    LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lines/${line})
  # Installed beside the line's module: the line's command links it and the
  # module resolves its symbols against it.
  install(TARGETS cgkernel-${line} LIBRARY DESTINATION ${CG_INSTALL_LIB_DIR}/${line})
endfunction()

# The module record of a module named `name` (its NAME.mod.cpp), generated
# into the line's build folder; the path is returned in `out_var`.
function(cg_module_record line name out_var)
  set(CG_MODNAME ${name})
  set(file ${CMAKE_BINARY_DIR}/lines/${line}/mod/${name}.mod.cpp)
  configure_file(${CMAKE_SOURCE_DIR}/kernel/module.mod.cpp.in ${file} @ONLY)
  set(${out_var} ${file} PARENT_SCOPE)
endfunction()
