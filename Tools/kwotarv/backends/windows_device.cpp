// The driver's device on Windows. Requests go through NtDeviceIoControlFile, the routine under
// DeviceIoControl: DeviceIoControl folds the driver's NTSTATUS into a Win32 error code, and the
// client needs the status itself (the `ioctl` command prints it, and the size protocol of the
// names, values and info requests rests on telling STATUS_BUFFER_OVERFLOW apart).
#include "backends/windows_device.hpp"

#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <vector>

namespace kwotarv {

namespace {

constexpr wchar_t kDevicePath[] = L"\\\\.\\KwoTarvDev";
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

} // namespace

std::unique_ptr<Device> OpenWindowsDevice(uint32_t& error)
{
    HANDLE handle =
        CreateFileW(kDevicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED) {
        // Reading needs no write access; only the raw temperature and voltage codes do.
        handle = CreateFileW(kDevicePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    if (handle == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return nullptr;
    }
    error = 0;
    return std::make_unique<WindowsDevice>(handle);
}

} // namespace kwotarv
