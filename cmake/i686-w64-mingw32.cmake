# Toolchain for the real driver: 32-bit x86 Windows, Debian's mingw-w64 (win32 thread model).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(KWOTARV_TARGET ON CACHE BOOL "cross build of the real driver" FORCE)
set(KWOTARV_TARGET_ARCH i686 CACHE STRING "architecture of the real driver" FORCE)

set(CMAKE_C_COMPILER i686-w64-mingw32-gcc)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++)
set(CMAKE_RC_COMPILER i686-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(KWOTARV_DDK_INCLUDE /usr/i686-w64-mingw32/include/ddk)
