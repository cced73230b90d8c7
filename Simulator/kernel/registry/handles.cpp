// The registry's handle table: what each open key handle refers to, and the host API that
// counts the handles a driver left open.
#include "kernel/registry/handles.hpp"

#include <map>

namespace sim::registry {
namespace tree {
namespace {

// Guarded by the registry lock.
struct HandleTable {
    std::map<uintptr_t, HandleEntry> handles;
    uintptr_t nextHandle = 1;
};

HandleTable& Handles()
{
    static HandleTable table;
    return table;
}

} // namespace

uintptr_t AddHandle(std::shared_ptr<Key> key, uint32_t grantedAccess, bool kernelHandle)
{
    auto& table = Handles();
    std::lock_guard guard(Lock());
    // Handle values are multiples of 4, kernel handles with the top bit of a 32-bit handle set,
    // as on x86 Windows. Values are not reused, so a stale handle is always caught.
    const uintptr_t value = (kernelHandle ? 0x80000000u : 0u) + table.nextHandle++ * 4;
    auto path = key->Path();
    table.handles.emplace(value, HandleEntry{std::move(key), grantedAccess, std::move(path)});
    return value;
}

std::optional<HandleEntry> LookupHandle(uintptr_t handle)
{
    auto& table = Handles();
    std::lock_guard guard(Lock());
    auto it = table.handles.find(handle);
    if (it == table.handles.end())
        return std::nullopt;
    return it->second;
}

bool RemoveHandle(uintptr_t handle)
{
    auto& table = Handles();
    std::lock_guard guard(Lock());
    return table.handles.erase(handle) != 0;
}

std::vector<std::u16string> HandlePaths()
{
    auto& table = Handles();
    std::lock_guard guard(Lock());
    std::vector<std::u16string> paths;
    for (const auto& [value, entry] : table.handles)
        paths.push_back(entry.path);
    return paths;
}

void CloseAllHandles()
{
    auto& table = Handles();
    std::lock_guard guard(Lock());
    table.handles.clear();
    table.nextHandle = 1;
}

} // namespace tree

size_t OpenHandleCount()
{
    return tree::HandlePaths().size();
}

std::vector<std::string> OpenHandlePaths()
{
    std::vector<std::string> paths;
    for (const auto& path : tree::HandlePaths())
        paths.push_back(Utf16ToUtf8(path));
    return paths;
}

} // namespace sim::registry
