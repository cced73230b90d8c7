// What the HAL does to the driver once Wine's loader has mapped it, and the exception handler
// that stands in for the privileged processor.
#pragma once

#include "instruction_sites.hpp"

namespace kwohal {

// The image the hooks apply to (base name, case-insensitive).
inline constexpr wchar_t kDriverImageName[] = L"kwotarv.sys";

// Registers for the loader's notification: when the driver is loaded (imports bound, before
// DriverEntry) its MmMapIoSpace/MmUnmapIoSpace imports are pointed at the simulated physical
// memory and its CPUID/RDMSR sites are patched; when it is unloaded, mappings it left are
// reported. Returns false when the loader offers no notification.
bool InstallDriverHooks(SiteTable sites);

// Hooks the driver mapped at `base`: import slots, instruction sites, the port trace.
void HookDriver(uint8_t* base, size_t size);

} // namespace kwohal
