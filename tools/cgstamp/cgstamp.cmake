# cgstamp: the sector-stamping NBD writer (libnbd) and its checker; built
# when libnbd is there.  The checker's logic is a library the tests link.
pkg_check_modules(CG_LIBNBD IMPORTED_TARGET libnbd)
find_package(CLI11 CONFIG REQUIRED)
find_package(nlohmann_json 3 REQUIRED)
pkg_check_modules(CG_STAMP_XXHASH REQUIRED IMPORTED_TARGET libxxhash)
add_library(cgstamplib STATIC ${CMAKE_SOURCE_DIR}/tools/cgstamp/stamp.cpp)
target_include_directories(cgstamplib PUBLIC ${CMAKE_SOURCE_DIR}/tools/cgstamp)
target_link_libraries(cgstamplib PRIVATE PkgConfig::CG_STAMP_XXHASH)
if(CG_LIBNBD_FOUND)
  add_executable(cgstamp ${CMAKE_SOURCE_DIR}/tools/cgstamp/main.cpp)
  target_link_libraries(cgstamp PRIVATE cgstamplib PkgConfig::CG_LIBNBD CLI11::CLI11 nlohmann_json::nlohmann_json
    Threads::Threads)
else()
  message(STATUS "libnbd not found: no cgstamp")
endif()
