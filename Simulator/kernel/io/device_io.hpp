// User mode's way to a device: open it by name (CreateFile) and send device-control requests
// (DeviceIoControl), with the I/O manager's METHOD_BUFFERED rules applied exactly.
//
//     sim::io::OpenResult open = sim::io::OpenDevice(u"\\\\.\\KwoTarvDev",
//                                                    sim::io::kGenericRead |
//                                                    sim::io::kGenericWrite);
//     ASSERT_EQ(open.status, STATUS_SUCCESS);
//     sim::io::IoctlResult r = open.handle.DeviceIoControl(IOCTL_HWM_GET_FANS, {}, 20);
//     EXPECT_EQ(r.status, STATUS_SUCCESS);
//     EXPECT_EQ(r.information, 20u);      // bytes returned
//     r.output                            // the caller's 20-byte buffer after the call
//
// Names: "\\.\X" and "\\?\X" (user forms), "\??\X", "\DosDevices\X", "\GLOBAL??\X" (links,
// including enabled device interfaces) and "\Device\X". Opening sends IRP_MJ_CREATE to the top
// of the device's stack; closing the handle (Close() or destruction) sends IRP_MJ_CLEANUP and
// IRP_MJ_CLOSE. A device still marked DO_DEVICE_INITIALIZING cannot be opened
// (STATUS_NO_SUCH_DEVICE); an exclusive device opens once (STATUS_ACCESS_DENIED after).
//
// Device control, as the I/O manager does it for METHOD_BUFFERED codes:
//  1. access check: a code with FILE_READ_ACCESS needs a handle opened with read-data access,
//     FILE_WRITE_ACCESS write-data access; otherwise STATUS_ACCESS_DENIED, nothing dispatched;
//  2. one system buffer of max(input, output) bytes from non-paged pool, absent when both are
//     0; it is first filled with kSystemBufferFill (or SetSystemBufferFill's), then the input is
//     copied to its start, so bytes of a reply the driver did not write show up as that pattern;
//  3. IRP_MJ_DEVICE_CONTROL at the top of the stack (RequestorMode UserMode, UserBuffer the
//     output buffer), waiting if the driver returns STATUS_PENDING;
//  4. on a status that is not an error (success, informational or warning, such as
//     STATUS_BUFFER_OVERFLOW) Windows copies IoStatus.Information bytes back, unclamped. A reply
//     whose Information exceeds the output length (a user buffer overrun) or the system buffer
//     (a kernel memory disclosure) is reported through sim::faults::Report, and only what fits
//     in both is copied. On an error status nothing is copied.
// The result carries the final status and Information (bytes returned) as Windows reports them.
// Several threads may use one handle or several handles at once.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "nt/io.h"

namespace sim::io {

// Access rights of a handle (winnt.h values).
inline constexpr ACCESS_MASK kFileReadData = 0x0001;
inline constexpr ACCESS_MASK kFileWriteData = 0x0002;
inline constexpr ACCESS_MASK kGenericRead = 0x80000000;
inline constexpr ACCESS_MASK kGenericWrite = 0x40000000;
inline constexpr ACCESS_MASK kGenericAll = 0x10000000;

// Pattern of the system buffer's bytes that hold no input.
inline constexpr uint8_t kSystemBufferFill = 0xA5;
// Pattern of the caller's output buffer before the call, in the vector-returning form.
inline constexpr uint8_t kCallerBufferFill = 0x5A;

// Changes the system buffer's fill (kSystemBufferFill after a reset). Sending one request
// under two fills and comparing the replies shows any byte the driver returned unwritten.
void SetSystemBufferFill(uint8_t pattern);

struct IoctlResult {
    NTSTATUS status = 0;         // what the caller gets back (the completion status if pending)
    ULONG_PTR information = 0;   // IoStatus.Information as the driver left it (bytes returned)
    ULONG bytesCopied = 0;       // bytes actually copied into the caller's buffer
    std::vector<uint8_t> output; // the caller's buffer after the call (vector form only)
};

class Handle {
  public:
    Handle() = default;
    Handle(Handle&&) noexcept;
    Handle& operator=(Handle&&) noexcept;
    ~Handle();

    bool Valid() const { return file_ != nullptr; }
    explicit operator bool() const { return Valid(); }

    // The caller's output buffer starts filled with kCallerBufferFill.
    IoctlResult DeviceIoControl(ULONG code, std::span<const uint8_t> input,
                                ULONG outputLength) const;
    // Raw form: the caller owns both buffers (either may be NULL with a 0 length).
    IoctlResult DeviceIoControl(ULONG code, const void* input, ULONG inputLength, void* output,
                                ULONG outputLength) const;

    // Sends cleanup and close; returns the close request's status.
    NTSTATUS Close();

    PFILE_OBJECT FileObject() const;
    ACCESS_MASK GrantedAccess() const;

    struct File;

  private:
    explicit Handle(std::shared_ptr<File> file) : file_(std::move(file)) {}
    std::shared_ptr<File> file_;
    friend struct OpenResult OpenDevice(std::u16string_view path, ACCESS_MASK access);
};

struct OpenResult {
    NTSTATUS status = 0;
    Handle handle; // valid only on success
};

OpenResult OpenDevice(std::u16string_view path, ACCESS_MASK access);

// Handles currently open on `device` (any device of its stack).
size_t OpenHandleCount(PDEVICE_OBJECT device);

} // namespace sim::io
