// User mode's requests to a device: open (IRP_MJ_CREATE), close (IRP_MJ_CLEANUP, IRP_MJ_CLOSE)
// and buffered device control with the I/O manager's copy rules.
#include "kernel/io/device_io.hpp"
#include "kernel/rtl/version.hpp"
#include "kernel/rtl/text.hpp"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "kernel/debug/faults.hpp"
#include "kernel/io/internal.hpp"
#include "kernel/io/io_manager.hpp"
#include "sim_ntddk.h"

using sim::text::Hex;

namespace sim::io {

struct Handle::File {
    FILE_OBJECT object{};
    PDEVICE_OBJECT device = nullptr; // the device the name resolved to
    ACCESS_MASK granted = 0;
    std::atomic<bool> closed{false};
};

namespace {

// Pool tag of the system buffers of buffered requests.
constexpr ULONG kSystemBufferTag = 'I' | ('o' << 8) | ('S' << 16) | ('b' << 24);

ACCESS_MASK MapGeneric(ACCESS_MASK access)
{
    ACCESS_MASK mapped = access & ~(kGenericRead | kGenericWrite | kGenericAll);
    if (access & (kGenericRead | kGenericAll))
        mapped |= kFileReadData;
    if (access & (kGenericWrite | kGenericAll))
        mapped |= kFileWriteData;
    return mapped;
}

RequestOutcome SendFileRequest(Handle::File& file, UCHAR major)
{
    PDEVICE_OBJECT top = TopOfStack(file.device);
    IrpRequest request(top->StackSize);
    PIRP irp = request.Irp();
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = &file.object;
    PIO_STACK_LOCATION location = request.FirstLocation();
    location->MajorFunction = major;
    location->FileObject = &file.object;
    return request.Send(top);
}

} // namespace

Handle::Handle(Handle&& other) noexcept : file_(std::move(other.file_)) {}

Handle& Handle::operator=(Handle&& other) noexcept
{
    if (this != &other) {
        Close();
        file_ = std::move(other.file_);
    }
    return *this;
}

Handle::~Handle()
{
    Close();
}

PFILE_OBJECT Handle::FileObject() const
{
    return file_ ? &file_->object : nullptr;
}

ACCESS_MASK Handle::GrantedAccess() const
{
    return file_ ? file_->granted : 0;
}

NTSTATUS Handle::Close()
{
    if (!file_ || file_->closed.exchange(true))
        return STATUS_INVALID_HANDLE;
    // Cleanup's status is ignored by the system; close is what the caller sees.
    SendFileRequest(*file_, IRP_MJ_CLEANUP);
    const RequestOutcome close = SendFileRequest(*file_, IRP_MJ_CLOSE);
    internal::DereferenceDevice(file_->device);
    file_.reset();
    return close.completed ? close.status : STATUS_UNSUCCESSFUL;
}

OpenResult OpenDevice(std::u16string_view path, ACCESS_MASK access)
{
    OpenResult result;
    PDEVICE_OBJECT device = nullptr;
    result.status = internal::ReferenceDeviceByName(path, &device);
    if (!NT_SUCCESS(result.status))
        return result;
    if (internal::StackInitializing(device)) {
        internal::DereferenceDevice(device);
        result.status = STATUS_NO_SUCH_DEVICE;
        return result;
    }
    if ((device->Flags & DO_EXCLUSIVE) && internal::ReferenceCount(device) > 1) {
        internal::DereferenceDevice(device);
        result.status = STATUS_ACCESS_DENIED;
        return result;
    }

    auto file = std::make_shared<Handle::File>();
    file->object.Type = IO_TYPE_FILE;
    file->object.Size = sizeof(FILE_OBJECT);
    file->object.DeviceObject = device;
    file->device = device;
    file->granted = MapGeneric(access);
    const RequestOutcome create = SendFileRequest(*file, IRP_MJ_CREATE);
    const NTSTATUS status = create.returned == STATUS_PENDING ? create.status : create.returned;
    if (!create.completed || !NT_SUCCESS(status)) {
        internal::DereferenceDevice(device);
        result.status = create.completed ? status : STATUS_UNSUCCESSFUL;
        return result;
    }
    result.status = status;
    result.handle = Handle(std::move(file));
    return result;
}

size_t OpenHandleCount(PDEVICE_OBJECT device)
{
    return internal::ReferenceCount(device);
}

namespace {
std::atomic<uint8_t> gSystemBufferFill{kSystemBufferFill};
} // namespace

void SetSystemBufferFill(uint8_t pattern)
{
    gSystemBufferFill = pattern;
}

IoctlResult Handle::DeviceIoControl(ULONG code, std::span<const uint8_t> input,
                                    ULONG outputLength) const
{
    std::vector<uint8_t> output(outputLength, kCallerBufferFill);
    IoctlResult result = DeviceIoControl(code, input.empty() ? nullptr : input.data(),
                                         static_cast<ULONG>(input.size()),
                                         output.empty() ? nullptr : output.data(), outputLength);
    result.output = std::move(output);
    return result;
}

IoctlResult Handle::DeviceIoControl(ULONG code, const void* input, ULONG inputLength, void* output,
                                    ULONG outputLength) const
{
    IoctlResult result;
    if (!file_ || file_->closed) {
        result.status = STATUS_INVALID_HANDLE;
        return result;
    }
    const ULONG method = code & 3;
    const ULONG access = (code >> 14) & 3;
    if (method != METHOD_BUFFERED) {
        sim::faults::Report("DeviceIoControl: only METHOD_BUFFERED codes are simulated (code " +
                            Hex(code) + ")");
        result.status = STATUS_NOT_IMPLEMENTED;
        return result;
    }
    if (((access & FILE_READ_ACCESS) && !(file_->granted & kFileReadData)) ||
        ((access & FILE_WRITE_ACCESS) && !(file_->granted & kFileWriteData))) {
        result.status = STATUS_ACCESS_DENIED;
        return result;
    }
    if ((inputLength != 0 && input == nullptr) || (outputLength != 0 && output == nullptr)) {
        result.status = STATUS_INVALID_PARAMETER; // an access violation probing user buffers
        return result;
    }

    const ULONG systemLength = std::max(inputLength, outputLength);
    uint8_t* systemBuffer = nullptr;
    if (systemLength != 0) {
        systemBuffer = static_cast<uint8_t*>(ExAllocatePoolWithTag(
            sim::rtl::CurrentSystemVersion().HasNxPool() ? NonPagedPoolNx : NonPagedPool,
            systemLength, kSystemBufferTag));
        if (systemBuffer == nullptr) {
            result.status = STATUS_INSUFFICIENT_RESOURCES;
            return result;
        }
        std::memset(systemBuffer, gSystemBufferFill.load(), systemLength);
        if (inputLength != 0)
            std::memcpy(systemBuffer, input, inputLength);
    }

    PDEVICE_OBJECT top = TopOfStack(file_->device);
    IrpRequest request(top->StackSize);
    PIRP irp = request.Irp();
    irp->AssociatedIrp.SystemBuffer = systemBuffer;
    irp->UserBuffer = output;
    irp->RequestorMode = UserMode;
    irp->Flags = systemBuffer != nullptr ? IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER |
                                               (outputLength != 0 ? IRP_INPUT_OPERATION : 0)
                                         : 0;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->Tail.Overlay.OriginalFileObject = &file_->object;
    PIO_STACK_LOCATION location = request.FirstLocation();
    location->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    location->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    location->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    location->Parameters.DeviceIoControl.IoControlCode = code;
    location->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(input);
    location->FileObject = &file_->object;

    const RequestOutcome outcome = request.Send(top);
    if (!outcome.completed) {
        // The driver may still hold the system buffer; it stays allocated (and is counted).
        result.status = outcome.returned;
        return result;
    }
    result.status = outcome.returned == STATUS_PENDING ? outcome.status : outcome.returned;
    result.information = outcome.information;
    if (!NT_ERROR(outcome.status) && outcome.information != 0) {
        const ULONG_PTR information = outcome.information;
        const std::string what = "DeviceIoControl " + Hex(code) + " completed with status " +
                                 Hex(static_cast<uint32_t>(outcome.status)) + " and " +
                                 std::to_string(information) + " bytes";
        if (information > outputLength)
            sim::faults::Report(what + ", more than the caller's " + std::to_string(outputLength) +
                                "-byte output buffer: the copy back overruns the user buffer");
        if (information > systemLength)
            sim::faults::Report(what + ", more than the " + std::to_string(systemLength) +
                                "-byte system buffer: kernel memory disclosed to user mode");
        const ULONG_PTR copy = std::min<ULONG_PTR>({information, outputLength, systemLength});
        if (copy != 0)
            std::memcpy(output, systemBuffer, copy);
        result.bytesCopied = static_cast<ULONG>(copy);
    }
    if (systemBuffer != nullptr)
        ExFreePoolWithTag(systemBuffer, kSystemBufferTag);
    return result;
}

} // namespace sim::io
