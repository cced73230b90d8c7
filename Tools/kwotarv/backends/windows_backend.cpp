// The Windows back end: the driver's device (backends/windows_device.hpp), the values it
// published under its service key, and the ISA-bus mutex.
#include "backends/windows_backend.hpp"

#include <windows.h>

#include <string>
#include <vector>

#include "backends/windows_bus_mutex.hpp"
#include "backends/windows_device.hpp"
#include "windows/system_message.hpp"

namespace kwotarv {

namespace {

constexpr wchar_t kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\KwoTarv";
constexpr const wchar_t* kPublishedNames[] = {L"ChipsetType", L"ChipDesc", L"VoltageList",
                                              L"InterfaceName"};
constexpr const char* kPublishedNamesUtf8[] = {"ChipsetType", "ChipDesc", "VoltageList",
                                               "InterfaceName"};

class DeviceBackend : public Backend {
  public:
    Device& Open() override
    {
        uint32_t error = 0;
        std::unique_ptr<Device> device = OpenWindowsDevice(error);
        if (!device) {
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
                throw ToolError("device \\\\.\\KwoTarvDev not found: the KwoTarv driver is not "
                                "installed or its device did not start (Device Manager shows "
                                "why; see Install/INSTALL.md)",
                                kExitFailure);
            if (error == ERROR_ACCESS_DENIED)
                throw ToolError("access to \\\\.\\KwoTarvDev was denied: run kwotarv from an "
                                "elevated command prompt",
                                kExitFailure);
            throw ToolError("cannot open \\\\.\\KwoTarvDev: " + SystemErrorText(error),
                            kExitFailure);
        }
        device_ = std::move(device);
        return *device_;
    }

    std::optional<std::vector<PublishedValue>> PublishedValues() override
    {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kServiceKey, 0, KEY_QUERY_VALUE, &key) !=
            ERROR_SUCCESS)
            return std::nullopt;
        std::vector<PublishedValue> values;
        for (size_t i = 0; i < std::size(kPublishedNames); ++i) {
            DWORD type = 0;
            DWORD size = 0;
            if (RegQueryValueExW(key, kPublishedNames[i], nullptr, &type, nullptr, &size) !=
                ERROR_SUCCESS)
                continue;
            PublishedValue value{kPublishedNamesUtf8[i], type, std::vector<uint8_t>(size)};
            if (RegQueryValueExW(key, kPublishedNames[i], nullptr, &type,
                                 value.data.empty() ? nullptr : value.data.data(),
                                 &size) != ERROR_SUCCESS)
                continue;
            value.type = type;
            value.data.resize(size);
            values.push_back(std::move(value));
        }
        RegCloseKey(key);
        return values;
    }

    void Close() override { device_.reset(); }

    BusMutex* IsaBusMutex() override
    {
        if (!busMutex_) {
            try {
                busMutex_ = OpenIsaBusMutex();
            } catch (const std::runtime_error& error) {
                throw ToolError(error.what(), kExitFailure);
            }
        }
        return busMutex_.get();
    }

    bool Finish(std::ostream&) override
    {
        device_.reset();
        return true;
    }

  private:
    std::unique_ptr<Device> device_;
    std::unique_ptr<BusMutex> busMutex_;
};

} // namespace

std::unique_ptr<Backend> MakeDeviceBackend()
{
    return std::make_unique<DeviceBackend>();
}

} // namespace kwotarv
