// Kernel debugger output. The simulator formats like the kernel (%wZ for a UNICODE_STRING,
// %ws/%S for 16-bit text) and keeps every line for tests.
#pragma once

#include "types.h"

ULONG DbgPrint(PCSTR Format, ...);
