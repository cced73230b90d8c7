// The Windows back end. Requests go through NtDeviceIoControlFile, the routine under
// DeviceIoControl: DeviceIoControl folds the driver's NTSTATUS into a Win32 error code, and the
// tool shows the status itself (the `ioctl` command prints it, and the size protocol of the
// names, values and info requests rests on telling STATUS_BUFFER_OVERFLOW apart).
#include "backends/windows_device.hpp"

#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <string>
#include <vector>

#include "backends/windows_bus_mutex.hpp"
#include "windows/system_message.hpp"

namespace kwotarv {

namespace {

constexpr wchar_t kDevicePath[] = L"\\\\.\\KwoTarvDev";
constexpr wchar_t kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\KwoTarv";
constexpr const wchar_t* kPublishedNames[] = {L"ChipsetType", L"ChipDesc", L"VoltageList",
                                              L"InterfaceName"};
constexpr const char* kPublishedNamesUtf8[] = {"ChipsetType", "ChipDesc", "VoltageList",
                                               "InterfaceName"};
constexpr NTSTATUS kStatusPending = 0x00000103;

class WindowsDevice : public Device {
  public:
    explicit WindowsDevice(HANDLE handle) : handle_(handle) {}
    ~WindowsDevice() override { CloseHandle(handle_); }
    WindowsDevice(const WindowsDevice&) = delete;
    WindowsDevice& operator=(const WindowsDevice&) = delete;

    Reply Control(uint32_t code, std::span<const uint8_t> input, uint32_t outputLength) override
    {
        std::vector<uint8_t> in(input.begin(), input.end());
        std::vector<uint8_t> out(outputLength);
        IO_STATUS_BLOCK io{};
        NTSTATUS status = NtDeviceIoControlFile(
            handle_, nullptr, nullptr, nullptr, &io, code, in.empty() ? nullptr : in.data(),
            static_cast<ULONG>(in.size()), out.empty() ? nullptr : out.data(), outputLength);
        if (status == kStatusPending) {
            // The handle was opened for synchronous I/O; it is signalled on completion.
            WaitForSingleObject(handle_, INFINITE);
            status = io.Status;
        }
        Reply reply;
        reply.status = static_cast<uint32_t>(status);
        // On an error the system copies nothing back and leaves the status block alone.
        if (!IsErrorStatus(reply.status)) {
            reply.information = io.Information;
            out.resize(static_cast<size_t>(std::min<uint64_t>(io.Information, outputLength)));
            reply.output = std::move(out);
        }
        return reply;
    }

  private:
    HANDLE handle_;
};

class DeviceBackend : public Backend {
  public:
    Device& Open() override
    {
        HANDLE handle = CreateFileW(kDevicePath, GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
            // Reading needs no write access; only the raw temperature and voltage codes do.
            handle = CreateFileW(kDevicePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        }
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD error = GetLastError();
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
        device_ = std::make_unique<WindowsDevice>(handle);
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
    std::unique_ptr<WindowsDevice> device_;
    std::unique_ptr<BusMutex> busMutex_;
};

} // namespace

std::unique_ptr<Backend> MakeDeviceBackend()
{
    return std::make_unique<DeviceBackend>();
}

} // namespace kwotarv
