// The driver's one platform seam. Every driver source includes this file and nothing
// platform-specific: on the target it is the DDK, on the host the simulated kernel.
#pragma once

#if defined(KWOTARV_TARGET)

// The DDK headers do not compile as C++ without these two.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
extern "C" {
#include <ntddk.h>
}
#include <intrin.h>

#ifndef DEVPROP_TYPE_BOOLEAN
#define DEVPROP_TYPE_BOOLEAN 0x00000011
#endif

// Code placement: GCC's section attribute does what #pragma alloc_text does for MSVC.
#define KWO_INIT_CODE __attribute__((section("INIT")))
#define KWO_PAGED_CODE __attribute__((section("PAGE")))

#else // host build against the simulator

#include "sim_ntddk.h"

// The kernel's wide-string routines take 16-bit text; the host C library's do not. Only driver
// sources are redirected, so host code may include driver headers beside <cwchar>.
#if defined(KWOTARV_DRIVER_SOURCE)
#define wcsstr SimWcsstr
#define wcslen SimWcslen
#endif

#define KWO_INIT_CODE
#define KWO_PAGED_CODE

#endif

// The widths the driver relies on, the same on x86, x64 and the host: ULONG and LONG are 32 bits
// (the host's LP64 "unsigned long" would not be), WCHAR is UTF-16, and the pointer-sized integers
// are as wide as a pointer.
static_assert(sizeof(ULONG) == 4 && sizeof(LONG) == 4 && sizeof(USHORT) == 2, "integer widths");
static_assert(sizeof(WCHAR) == 2, "WCHAR is a UTF-16 unit");
static_assert(sizeof(ULONG_PTR) == sizeof(PVOID) && sizeof(SIZE_T) == sizeof(PVOID),
              "pointer-sized integers");

// Pool tags read in the debugger as the four characters of the string, low byte first.
#define KWO_POOL_TAG(a, b, c, d)                                                                   \
    ((ULONG)(UCHAR)(a) | ((ULONG)(UCHAR)(b) << 8) | ((ULONG)(UCHAR)(c) << 16) |                    \
     ((ULONG)(UCHAR)(d) << 24))
