# Builds the real driver with mingw-w64 as part of the host build, so the image checks in the
# test suite always look at an image made from the sources under test.
find_program(KWO_MINGW_CXX i686-w64-mingw32-g++-posix)
if(NOT KWO_MINGW_CXX)
  message(FATAL_ERROR "i686-w64-mingw32-g++-posix not found: install g++-mingw-w64-i686-posix and "
                      "mingw-w64-i686-dev, or configure with -DKWOTARV_CROSS_BUILD=OFF")
endif()
include(ExternalProject)
set(KWO_TARGET_BINARY_DIR ${CMAKE_BINARY_DIR}/target)
ExternalProject_Add(kwo_target
  SOURCE_DIR ${CMAKE_SOURCE_DIR}
  BINARY_DIR ${KWO_TARGET_BINARY_DIR}
  CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/i686-w64-mingw32.cmake
             -DCMAKE_BUILD_TYPE=Release
  BUILD_ALWAYS ON
  INSTALL_COMMAND ""
  USES_TERMINAL_BUILD ON)
set(KWOTARV_TARGET_DIR ${KWO_TARGET_BINARY_DIR} CACHE INTERNAL "where the cross build puts its outputs")
