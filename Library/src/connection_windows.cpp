// The library's connection on Windows: the driver's device and the system's ISA-bus mutex,
// opened by the same code as the tool's Windows back end.
#include "connection.hpp"

#include <windows.h>

#include <stdexcept>

#include "backends/windows_bus_mutex.hpp"
#include "backends/windows_device.hpp"

namespace kwolib {

namespace {

class WindowsConnection : public Connection {
  public:
    WindowsConnection(std::unique_ptr<kwotarv::Device> device,
                      std::unique_ptr<kwotarv::BusMutex> mutex)
        : device_(std::move(device)), mutex_(std::move(mutex))
    {
    }
    kwotarv::Device& Device() override { return *device_; }
    kwotarv::BusMutex* IsaBusMutex() override { return mutex_.get(); }

  private:
    std::unique_ptr<kwotarv::Device> device_;
    std::unique_ptr<kwotarv::BusMutex> mutex_;
};

} // namespace

std::unique_ptr<Connection> OpenConnection(kwo_status& status)
{
    uint32_t error = 0;
    std::unique_ptr<kwotarv::Device> device = kwotarv::OpenWindowsDevice(error);
    if (!device) {
        status = error == ERROR_ACCESS_DENIED ? KWO_ERROR_ACCESS_DENIED : KWO_ERROR_NO_DEVICE;
        return nullptr;
    }
    std::unique_ptr<kwotarv::BusMutex> mutex;
    try {
        mutex = kwotarv::OpenIsaBusMutex();
    } catch (const std::runtime_error&) {
        status = KWO_ERROR_SYSTEM;
        return nullptr;
    }
    status = KWO_OK;
    return std::make_unique<WindowsConnection>(std::move(device), std::move(mutex));
}

} // namespace kwolib
