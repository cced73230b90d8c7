# Builds the real driver with mingw-w64 as part of the host build, so the image checks in the
# test suite always look at an image made from the sources under test.
find_program(KWO_MINGW_CXX i686-w64-mingw32-g++)
if(NOT KWO_MINGW_CXX)
  message(FATAL_ERROR "i686-w64-mingw32-g++ not found: install g++-mingw-w64-i686-win32 and "
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

# The programs that run the image under Wine (Wine/CMakeLists.txt), one cross build per
# architecture (i686, amd64) with the posix-thread toolchain
# cmake/<triple>-w64-mingw32-posix.cmake, into build/<preset>/wine-<arch>, where
# scripts/kwotarv-wine --arch finds them.
set(KWOTARV_WINE_ARCHES i686 CACHE STRING "architectures of the Wine test programs")
set(KWO_WINE_TRIPLE_i686 i686)
set(KWO_WINE_TRIPLE_amd64 x86_64)
foreach(arch ${KWOTARV_WINE_ARCHES})
  set(triple ${KWO_WINE_TRIPLE_${arch}})
  if(NOT triple)
    message(FATAL_ERROR "KWOTARV_WINE_ARCHES: '${arch}' is not an architecture (i686, amd64)")
  endif()
  find_program(KWO_WINE_CXX_${arch} ${triple}-w64-mingw32-g++-posix)
  if(NOT KWO_WINE_CXX_${arch})
    message(FATAL_ERROR "${triple}-w64-mingw32-g++-posix not found: install "
                        "g++-mingw-w64-${triple}-posix (scripts/setup.sh test), or configure "
                        "with -DKWOTARV_CROSS_BUILD=OFF")
  endif()
  ExternalProject_Add(kwo_wine_${arch}
    SOURCE_DIR ${CMAKE_SOURCE_DIR}/Wine
    BINARY_DIR ${CMAKE_BINARY_DIR}/wine-${arch}
    CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${CMAKE_SOURCE_DIR}/cmake/${triple}-w64-mingw32-posix.cmake
               -DCMAKE_BUILD_TYPE=Release
               -DCMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER}
    BUILD_ALWAYS ON
    INSTALL_COMMAND ""
    USES_TERMINAL_BUILD ON)
endforeach()
