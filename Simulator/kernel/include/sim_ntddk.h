// What the host build gives a driver in place of <ntddk.h>.
#pragma once

#include "nt/types.h"
#include "nt/rtl.h"
#include "nt/pool.h"
#include "nt/ke.h"
#include "nt/io.h"
#include "nt/zw.h"
#include "nt/hal.h"
#include "nt/dbg.h"
