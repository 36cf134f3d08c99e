# The live ext4 workload of the stand-in: disk images, the libext2fs writer
# that runs through the block layer, and checks of restored images.  One
# library per kernel line, as it links that line's stand-in kernel.
file(GLOB CG_WORKLOAD_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/workload/src/*.cpp)
find_package(PkgConfig REQUIRED)
pkg_check_modules(CG_EXT2FS REQUIRED IMPORTED_TARGET ext2fs com_err)
pkg_check_modules(CG_XXHASH REQUIRED IMPORTED_TARGET libxxhash)

function(cg_add_workload sub)
  set(line 2.6.${sub})
  add_library(cgworkload-${line} STATIC ${CG_WORKLOAD_SOURCES})
  target_include_directories(cgworkload-${line}
    PUBLIC ${CMAKE_SOURCE_DIR}/workload/include
    PRIVATE ${CMAKE_SOURCE_DIR}/workload/src)
  target_link_libraries(cgworkload-${line}
    PUBLIC cgkernel-${line} Threads::Threads
    PRIVATE PkgConfig::CG_EXT2FS PkgConfig::CG_XXHASH)
endfunction()
