# Toolchain for the real driver and the Windows tool: 64-bit x64 Windows, Debian's mingw-w64 in
# its posix thread model (std::thread for the tool's server; the driver uses no thread library).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(KWOTARV_TARGET ON CACHE BOOL "cross build of the real driver" FORCE)
set(KWOTARV_TARGET_ARCH amd64 CACHE STRING "architecture of the real driver" FORCE)

set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

set(KWOTARV_DDK_INCLUDE /usr/x86_64-w64-mingw32/include/ddk)
