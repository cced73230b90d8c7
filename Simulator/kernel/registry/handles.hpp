// The registry's handle table: what each open key handle refers to (the host API that counts
// them is in registry.hpp).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kernel/registry/tree.hpp"

namespace sim::registry::tree {

struct HandleEntry {
    std::shared_ptr<Key> key;
    uint32_t grantedAccess = 0;
    std::u16string path; // as it was when opened
};
uintptr_t AddHandle(std::shared_ptr<Key> key, uint32_t grantedAccess, bool kernelHandle);
std::optional<HandleEntry> LookupHandle(uintptr_t handle);
bool RemoveHandle(uintptr_t handle);
void CloseAllHandles();
std::vector<std::u16string> HandlePaths();

} // namespace sim::registry::tree
