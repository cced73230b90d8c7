# Toolchain for the real driver and the Windows tool: 32-bit x86 Windows, Debian's mingw-w64 in
# its posix thread model (std::thread for the tool's server; the driver uses no thread library
# and its image is byte for byte the same as with the win32 model).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(KWOTARV_TARGET ON CACHE BOOL "cross build of the real driver" FORCE)
set(KWOTARV_TARGET_ARCH i686 CACHE STRING "architecture of the real driver" FORCE)

set(CMAKE_C_COMPILER i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(KWOTARV_DDK_INCLUDE /usr/i686-w64-mingw32/include/ddk)
