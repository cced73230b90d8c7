# The architectures the real driver and kwotarv.exe are built for, and what differs between them:
# one row per architecture. Read by the cross build (cmake/TargetBuild.cmake), by the host build's
# cross step (cmake/CrossBuild.cmake) and by the image checks (Tests/image).
set(KWOTARV_TARGET_ARCHS i686 amd64)

# 32-bit x86, the primary image. The stdcall entry is decorated with its argument bytes.
set(KWO_ARCH_i686_TRIPLET i686-w64-mingw32)
set(KWO_ARCH_i686_BUILD_DIR target)   # beneath a host build
set(KWO_ARCH_i686_PACKAGE_DIR x86)    # beneath the package; the INF's SourceDisksFiles.x86
set(KWO_ARCH_i686_DEFINITIONS _X86_=1)
set(KWO_ARCH_i686_FLAGS -fno-asynchronous-unwind-tables)
set(KWO_ARCH_i686_ENTRY _DriverEntry@8)
set(KWO_ARCH_i686_IMAGE_BASE 0x10000)
set(KWO_ARCH_i686_OS_VERSION 5 1)     # Windows XP
set(KWO_ARCH_i686_LIB_MACHINE i386)   # llvm-dlltool -m, for the library's kwotarv.lib
set(KWO_ARCH_i686_CLANG_TARGET i686-pc-windows-msvc)

# 64-bit x64: one calling convention, so nothing is decorated. The unwind tables stay: the x64
# kernel unwinds through the driver's frames with .pdata/.xdata (exception dispatch, the stack
# of a bug check), where x86 walks frame pointers.
set(KWO_ARCH_amd64_TRIPLET x86_64-w64-mingw32)
set(KWO_ARCH_amd64_BUILD_DIR target-amd64)
set(KWO_ARCH_amd64_PACKAGE_DIR amd64)
set(KWO_ARCH_amd64_DEFINITIONS _AMD64_=1)
set(KWO_ARCH_amd64_FLAGS)
set(KWO_ARCH_amd64_ENTRY DriverEntry)
set(KWO_ARCH_amd64_IMAGE_BASE 0x140000000)
set(KWO_ARCH_amd64_OS_VERSION 5 2)    # Windows XP x64 and Server 2003
set(KWO_ARCH_amd64_LIB_MACHINE i386:x86-64)
set(KWO_ARCH_amd64_CLANG_TARGET x86_64-pc-windows-msvc)

# Beneath a host build: each architecture's cross build, and the package collected from them.
if(NOT KWOTARV_TARGET)
  foreach(arch ${KWOTARV_TARGET_ARCHS})
    set(KWOTARV_TARGET_DIR_${arch} ${CMAKE_BINARY_DIR}/${KWO_ARCH_${arch}_BUILD_DIR})
  endforeach()
  set(KWOTARV_TARGET_DIR ${KWOTARV_TARGET_DIR_i686}) # the primary image
  set(KWOTARV_PACKAGE_DIR ${CMAKE_BINARY_DIR}/package)
  # The architectures whose image runs under Wine in the tests (cmake/CrossBuild.cmake builds
  # their HAL and helpers, Tests/wine runs every board on each).
  set(KWOTARV_WINE_ARCHES ${KWOTARV_TARGET_ARCHS} CACHE STRING
      "architectures whose image the Wine tests run (i686, amd64)")
endif()
