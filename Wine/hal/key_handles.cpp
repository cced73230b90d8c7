// Registry key handles opened by the driver.
#include "key_handles.hpp"

#include <windows.h>

#include <mutex>
#include <set>
#include <string>

#include "session.hpp"

namespace kwohal {

namespace {

using OpenKey = LONG(WINAPI*)(PHANDLE, ACCESS_MASK, PVOID);
using Close = LONG(WINAPI*)(HANDLE);

OpenKey gOpenKey = nullptr;
Close gClose = nullptr;
std::mutex gLock;
std::set<HANDLE> gOpen;

LONG WINAPI OpenKeyTracked(PHANDLE key, ACCESS_MASK access, PVOID attributes)
{
    const LONG status = gOpenKey(key, access, attributes);
    if (status >= 0 && key != nullptr) {
        std::lock_guard guard(gLock);
        gOpen.insert(*key);
    }
    return status;
}

LONG WINAPI CloseTracked(HANDLE handle)
{
    {
        std::lock_guard guard(gLock);
        gOpen.erase(handle);
    }
    return gClose(handle);
}

} // namespace

void* TrackedOpenKey(void* openKey)
{
    gOpenKey = reinterpret_cast<OpenKey>(openKey);
    return reinterpret_cast<void*>(OpenKeyTracked);
}

void* TrackedClose(void* close)
{
    gClose = reinterpret_cast<Close>(close);
    return reinterpret_cast<void*>(CloseTracked);
}

void ReportOpenKeys()
{
    std::lock_guard guard(gLock);
    if (!gOpen.empty())
        Fault(std::to_string(gOpen.size()) + " registry handle(s) still open after unload");
    gOpen.clear();
}

} // namespace kwohal
