// The ISA-bus mutex on Windows. Whoever runs first creates it; its security descriptor lets
// everyone (also a tool in another session or under another account) open and take it, which
// the "Global\" name alone does not. A tool that cannot create it opens the one there with the
// two rights a wait and a release need.
#include "backends/windows_bus_mutex.hpp"

#include <windows.h>
#include <sddl.h>

#include <stdexcept>
#include <string>

namespace kwotarv {

namespace {

constexpr wchar_t kMutexName[] = L"Global\\Access_ISABUS.HTP.Method";
// Everyone (WD): full access (GA).
constexpr wchar_t kEveryoneFullAccess[] = L"D:(A;;GA;;;WD)";

class WindowsBusMutex : public BusMutex {
  public:
    explicit WindowsBusMutex(HANDLE handle) : handle_(handle) {}
    ~WindowsBusMutex() override { CloseHandle(handle_); }
    WindowsBusMutex(const WindowsBusMutex&) = delete;
    WindowsBusMutex& operator=(const WindowsBusMutex&) = delete;

    BusWait Wait(uint32_t milliseconds) override
    {
        switch (WaitForSingleObject(handle_, milliseconds)) {
        case WAIT_OBJECT_0:
            return BusWait::Acquired;
        case WAIT_ABANDONED:
            return BusWait::Abandoned;
        case WAIT_TIMEOUT:
            return BusWait::TimedOut;
        default:
            throw std::runtime_error("waiting for the ISA bus mutex failed with error " +
                                     std::to_string(GetLastError()));
        }
    }

    void Release() override { ReleaseMutex(handle_); }

  private:
    HANDLE handle_;
};

} // namespace

void* CreateIsaBusMutexHandle()
{
    HANDLE handle = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(kEveryoneFullAccess, SDDL_REVISION_1,
                                                             &descriptor, nullptr)) {
        SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
        handle = CreateMutexW(&attributes, FALSE, kMutexName);
        LocalFree(descriptor);
    }
    if (handle == nullptr)
        handle = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, kMutexName);
    return handle;
}

std::unique_ptr<BusMutex> OpenIsaBusMutex()
{
    HANDLE handle = CreateIsaBusMutexHandle();
    if (handle == nullptr)
        throw std::runtime_error("cannot open the ISA bus mutex Global\\Access_ISABUS.HTP.Method: "
                                 "error " +
                                 std::to_string(GetLastError()));
    return std::make_unique<WindowsBusMutex>(handle);
}

} // namespace kwotarv
