# The backup agent library, built per kernel line: the typed control layer,
# the backup files and the backups.  It drives the module only through the
# stand-in's user system calls, so it links the stand-in kernel of its line.
find_package(PkgConfig REQUIRED)
pkg_check_modules(CG_EXT2FS REQUIRED IMPORTED_TARGET ext2fs com_err)
pkg_check_modules(CG_XXHASH REQUIRED IMPORTED_TARGET libxxhash)
find_package(nlohmann_json 3 REQUIRED)
file(GLOB CG_AGENT_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/agent/*.cpp)

function(cg_add_agent sub)
  set(line 2.6.${sub})
  add_library(cgagent-${line} STATIC ${CG_AGENT_SOURCES})
  target_include_directories(cgagent-${line} PUBLIC ${CMAKE_SOURCE_DIR}/agent)
  # The module's interface headers (cowguard.h, stats.h) and the stand-in's
  # user-side headers are searched after the system's, so that the kernel
  # headers of the stand-in never stand in for libc's own <linux/...>.
  target_compile_options(cgagent-${line} PUBLIC
    "SHELL:-idirafter ${CMAKE_SOURCE_DIR}/module/2.6"
    "SHELL:-idirafter ${CMAKE_SOURCE_DIR}/kernel/include")
  target_link_libraries(cgagent-${line}
    PUBLIC $<LINK_ONLY:cgkernel-${line}> Threads::Threads
    PRIVATE PkgConfig::CG_EXT2FS PkgConfig::CG_XXHASH nlohmann_json::nlohmann_json)
endfunction()
