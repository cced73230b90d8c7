# Toolchain for the real driver and the Windows tool, 32-bit x86: the posix-thread mingw-w64
# (std::thread for the tool's server; the driver uses no thread library, and its image is the
# same with either thread model), marked as the driver's cross build.
include(${CMAKE_CURRENT_LIST_DIR}/i686-w64-mingw32-posix.cmake)
set(KWOTARV_TARGET ON CACHE BOOL "cross build of the real driver" FORCE)
set(KWOTARV_TARGET_ARCH i686 CACHE STRING "architecture of the real driver" FORCE)

set(KWOTARV_DDK_INCLUDE /usr/i686-w64-mingw32/include/ddk)
