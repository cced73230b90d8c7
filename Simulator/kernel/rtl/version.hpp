// The version of the simulated system, which RtlGetVersion reports and the pool checks its pool
// types against. A fresh boot is Windows 10 (10.0.19045).
#pragma once

#include <cstdint>

namespace sim::rtl {

struct SystemVersion {
    uint32_t major = 10;
    uint32_t minor = 0;
    uint32_t build = 19045;
    // Windows 8 (6.2) and later know the non-executable pool types.
    bool HasNxPool() const { return major > 6 || (major == 6 && minor >= 2); }
};

SystemVersion CurrentSystemVersion();
void SetSystemVersion(SystemVersion version);
// Back to the fresh boot's version.
void ResetSystemVersion();

} // namespace sim::rtl
