// Registry paths: the kernel's form ("\REGISTRY\MACHINE\...") split into key names, and the
// regedit root names (HKEY_LOCAL_MACHINE, HKLM, ...) the host API and .reg files use.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim::registry::tree {

// Splits a kernel-form absolute path ("\REGISTRY\MACHINE\...") into the names below \REGISTRY.
// Throws RegistryError for a path outside \REGISTRY, with an empty or over-long name in it, or
// deeper than kMaxKeyDepth.
std::vector<std::u16string> SplitKernelPath(std::u16string_view path);
// The kernel path of a regedit root key name (HKEY_LOCAL_MACHINE, HKEY_USERS, HKEY_CLASSES_ROOT,
// HKEY_CURRENT_CONFIG; with `abbreviations` also HKLM, HKU, HKCR, HKCC); nullopt for another.
std::optional<std::u16string_view> RootKeyPath(std::u16string_view rootName, bool abbreviations);
// Host API paths: kernel form or regedit's root names (HKEY_LOCAL_MACHINE, HKLM, HKEY_USERS,
// HKU, HKEY_CLASSES_ROOT, HKCR, HKEY_CURRENT_CONFIG, HKCC) -> kernel form. Throws RegistryError.
std::u16string ToKernelPath(std::u16string_view path);
// The same for a host path given as UTF-8 text.
std::u16string ToKernelPath(std::string_view utf8Path);
// Kernel form -> regedit form ("HKEY_LOCAL_MACHINE\..."); throws RegistryError for a key that
// has no regedit name (\REGISTRY itself).
std::u16string ToRegeditPath(std::u16string_view kernelPath);

} // namespace sim::registry::tree
