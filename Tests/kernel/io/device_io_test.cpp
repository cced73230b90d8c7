// User-mode access through the simulated I/O manager: opening by name, create/close requests,
// the access check, and METHOD_BUFFERED device control with its copy-back rules.
#include <atomic>
#include <thread>

#include "kernel/pool/pool.hpp"
#include "test_driver.hpp"

namespace {

using testdrv::B;

constexpr ULONG kAnyCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x904, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kWriteCode =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_WRITE_ACCESS);
constexpr ULONG kReadCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x910, METHOD_BUFFERED, FILE_READ_ACCESS);
constexpr GUID kClass = {
    0xC52B5736, 0x1ADB, 0x43D0, {0x9A, 0x05, 0x25, 0xB5, 0xC2, 0x6C, 0xBA, 0x96}};

// What the device-control routine saw of one request.
struct Seen {
    PVOID systemBuffer = nullptr;
    ULONG inputLength = 0;
    ULONG outputLength = 0;
    ULONG code = 0;
    KPROCESSOR_MODE mode = KernelMode;
    std::vector<uint8_t> bufferOnEntry;
    int calls = 0;
};

// A named device with a link, over a bus PDO; the device-control reply is set per test.
class DeviceIoTest : public IoTest {
  protected:
    void SetUp() override
    {
        IoTest::SetUp();
        testdrv::InstallPassThrough();
        B().addDevice = [](PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
            NTSTATUS status = testdrv::PlainAddDevice(driver, pdo, L"\\Device\\KwoTarv");
            UNICODE_STRING link, target;
            RtlInitUnicodeString(&link, L"\\DosDevices\\KwoTarvDev");
            RtlInitUnicodeString(&target, L"\\Device\\KwoTarv");
            if (NT_SUCCESS(status))
                status = IoCreateSymbolicLink(&link, &target);
            return status;
        };
        B().dispatch[IRP_MJ_CREATE] = [this](PDEVICE_OBJECT, PIRP irp) {
            ++creates_;
            EXPECT_NE(IoGetCurrentIrpStackLocation(irp)->FileObject, nullptr);
            return testdrv::Complete(irp, createStatus_);
        };
        B().dispatch[IRP_MJ_CLOSE] = [this](PDEVICE_OBJECT, PIRP irp) {
            ++closes_;
            return testdrv::Complete(irp, STATUS_SUCCESS);
        };
        B().dispatch[IRP_MJ_CLEANUP] = [this](PDEVICE_OBJECT, PIRP irp) {
            ++cleanups_;
            return testdrv::Complete(irp, STATUS_SUCCESS);
        };
        B().dispatch[IRP_MJ_DEVICE_CONTROL] = [this](PDEVICE_OBJECT device, PIRP irp) {
            PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
            seen_.systemBuffer = irp->AssociatedIrp.SystemBuffer;
            seen_.inputLength = location->Parameters.DeviceIoControl.InputBufferLength;
            seen_.outputLength = location->Parameters.DeviceIoControl.OutputBufferLength;
            seen_.code = location->Parameters.DeviceIoControl.IoControlCode;
            seen_.mode = irp->RequestorMode;
            const ULONG size = std::max(seen_.inputLength, seen_.outputLength);
            const auto* bytes = static_cast<const uint8_t*>(seen_.systemBuffer);
            seen_.bufferOnEntry.assign(bytes, bytes + (bytes ? size : 0));
            ++seen_.calls;
            return reply_(device, irp);
        };
        bus_ = &sim::bus::CreateBusDevice();
        driver_ = Load();
        ASSERT_EQ(sim::pnp::AddDevice(driver_, bus_->Pdo()), STATUS_SUCCESS);
        fdo_ = sim::io::TopOfStack(bus_->Pdo());
    }

    sim::io::Handle Open(ACCESS_MASK access = sim::io::kGenericRead | sim::io::kGenericWrite)
    {
        sim::io::OpenResult open = sim::io::OpenDevice(u"\\\\.\\KwoTarvDev", access);
        EXPECT_EQ(open.status, STATUS_SUCCESS);
        return std::move(open.handle);
    }

    // Reply: write `bytes` of 0x11.. into the system buffer, complete with status/information.
    void ReplyWith(NTSTATUS status, ULONG written, ULONG_PTR information)
    {
        reply_ = [status, written, information](PDEVICE_OBJECT, PIRP irp) {
            auto* buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
            for (ULONG i = 0; i < written; ++i)
                buffer[i] = static_cast<uint8_t>(0x10 + i);
            return testdrv::Complete(irp, status, information);
        };
    }

    sim::bus::BusDevice* bus_ = nullptr;
    testdrv::Dispatch reply_;
    Seen seen_;
    NTSTATUS createStatus_ = STATUS_SUCCESS;
    int creates_ = 0, closes_ = 0, cleanups_ = 0;
};

TEST_F(DeviceIoTest, OpenByEveryNameFormReachesTheTopOfTheStack)
{
    for (std::u16string_view name :
         {u"\\\\.\\KwoTarvDev", u"\\\\?\\kwotarvdev", u"\\??\\KwoTarvDev",
          u"\\DosDevices\\KwoTarvDev", u"\\Device\\KwoTarv"}) {
        sim::io::OpenResult open = sim::io::OpenDevice(name, sim::io::kGenericRead);
        EXPECT_EQ(open.status, STATUS_SUCCESS) << sim::io::Narrow(name);
        EXPECT_TRUE(open.handle.Valid());
    }
    EXPECT_EQ(creates_, 5);
    EXPECT_EQ(cleanups_, 5);
    EXPECT_EQ(closes_, 5);
    EXPECT_EQ(sim::io::OpenDevice(u"\\\\.\\Nothing", 0).status, STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(DeviceIoTest, CloseSendsCleanupAndCloseOnce)
{
    sim::io::Handle handle = Open();
    EXPECT_EQ(sim::io::OpenHandleCount(fdo_), 1u);
    EXPECT_EQ(handle.Close(), STATUS_SUCCESS);
    EXPECT_EQ(handle.Close(), STATUS_INVALID_HANDLE);
    EXPECT_EQ(cleanups_, 1);
    EXPECT_EQ(closes_, 1);
    EXPECT_EQ(sim::io::OpenHandleCount(fdo_), 0u);
}

TEST_F(DeviceIoTest, FailedCreateFailsTheOpen)
{
    createStatus_ = STATUS_ACCESS_DENIED;
    sim::io::OpenResult open = sim::io::OpenDevice(u"\\\\.\\KwoTarvDev", sim::io::kGenericRead);
    EXPECT_EQ(open.status, STATUS_ACCESS_DENIED);
    EXPECT_FALSE(open.handle.Valid());
    EXPECT_EQ(closes_, 0);
}

TEST_F(DeviceIoTest, InterfaceOpensOnlyWhileEnabled)
{
    UNICODE_STRING name{};
    ASSERT_EQ(IoRegisterDeviceInterface(bus_->Pdo(), &kClass, nullptr, &name), STATUS_SUCCESS);
    std::u16string path = sim::io::ToU16(name);
    path.replace(0, 4, u"\\\\?\\"); // the user-mode form
    EXPECT_EQ(sim::io::OpenDevice(path, 0).status, STATUS_OBJECT_NAME_NOT_FOUND);
    IoSetDeviceInterfaceState(&name, TRUE);
    EXPECT_EQ(sim::io::OpenDevice(path, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(creates_, 1); // the PDO's stack: the function driver on top got the create
    RtlFreeUnicodeString(&name);
}

TEST_F(DeviceIoTest, InitializingAndExclusiveDevicesRefuseOpens)
{
    fdo_->Flags |= DO_DEVICE_INITIALIZING;
    EXPECT_EQ(sim::io::OpenDevice(u"\\\\.\\KwoTarvDev", 0).status, STATUS_NO_SUCH_DEVICE);
    fdo_->Flags &= ~DO_DEVICE_INITIALIZING;
    fdo_->Flags |= DO_EXCLUSIVE;
    sim::io::Handle first = Open(0);
    EXPECT_EQ(sim::io::OpenDevice(u"\\\\.\\KwoTarvDev", 0).status, STATUS_ACCESS_DENIED);
    first.Close();
    EXPECT_EQ(sim::io::OpenDevice(u"\\\\.\\KwoTarvDev", 0).status, STATUS_SUCCESS);
}

TEST_F(DeviceIoTest, OpenHandleKeepsADeletedDeviceReachable)
{
    // Removal deletes the device while a handle is open: requests on the handle still reach
    // the driver (which must refuse them itself), and nothing is reported.
    ReplyWith(STATUS_DELETE_PENDING, 0, 0);
    sim::io::Handle handle = Open();
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, L"\\DosDevices\\KwoTarvDev");
    ASSERT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
    ASSERT_EQ(sim::pnp::RemoveDevice(bus_->Pdo()).status, STATUS_SUCCESS);
    EXPECT_EQ(sim::io::DeviceCount(driver_), 0u);
    EXPECT_EQ(handle.DeviceIoControl(kAnyCode, {}, 4).status, STATUS_DELETE_PENDING);
    EXPECT_EQ(sim::io::OpenDevice(u"\\Device\\KwoTarv", 0).status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(handle.Close(), STATUS_SUCCESS);
}

// ---- access check ------------------------------------------------------------------------

struct AccessCase {
    ACCESS_MASK access;
    ULONG code;
    bool allowed;
};

class AccessTest : public DeviceIoTest, public ::testing::WithParamInterface<AccessCase> {};

TEST_P(AccessTest, CodeAccessBitsAreCheckedAgainstTheHandle)
{
    const AccessCase c = GetParam();
    ReplyWith(STATUS_SUCCESS, 0, 0);
    sim::io::Handle handle = Open(c.access);
    const sim::io::IoctlResult r = handle.DeviceIoControl(c.code, {}, 16);
    if (c.allowed) {
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(seen_.calls, 1);
    } else {
        EXPECT_EQ(r.status, STATUS_ACCESS_DENIED);
        EXPECT_EQ(seen_.calls, 0) << "a denied request never reaches the driver";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Handles, AccessTest,
    ::testing::Values(AccessCase{0, kAnyCode, true}, AccessCase{0, kWriteCode, false},
                      AccessCase{0, kReadCode, false},
                      AccessCase{sim::io::kGenericRead, kWriteCode, false},
                      AccessCase{sim::io::kGenericRead, kReadCode, true},
                      AccessCase{sim::io::kGenericWrite, kWriteCode, true},
                      AccessCase{sim::io::kGenericWrite, kReadCode, false},
                      AccessCase{sim::io::kFileWriteData, kWriteCode, true},
                      AccessCase{sim::io::kGenericAll, kWriteCode, true},
                      AccessCase{sim::io::kGenericRead | sim::io::kGenericWrite,
                                 CTL_CODE(FILE_DEVICE_UNKNOWN, 0x911, METHOD_BUFFERED,
                                          FILE_READ_ACCESS | FILE_WRITE_ACCESS),
                                 true}));

// ---- the system buffer -------------------------------------------------------------------

TEST_F(DeviceIoTest, SystemBufferIsTheLargerLengthHoldingTheInputThenThePattern)
{
    ReplyWith(STATUS_SUCCESS, 0, 0);
    sim::io::Handle handle = Open();
    const std::vector<uint8_t> input = {1, 2, 3, 4};
    handle.DeviceIoControl(kAnyCode, input, 10);
    EXPECT_EQ(seen_.inputLength, 4u);
    EXPECT_EQ(seen_.outputLength, 10u);
    EXPECT_EQ(seen_.code, kAnyCode);
    EXPECT_EQ(seen_.mode, UserMode);
    const std::vector<uint8_t> expected = {1, 2, 3, 4, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5};
    EXPECT_EQ(seen_.bufferOnEntry, expected);

    const std::vector<uint8_t> longInput(12, 7);
    handle.DeviceIoControl(kAnyCode, longInput, 3);
    EXPECT_EQ(seen_.bufferOnEntry, longInput);
}

TEST_F(DeviceIoTest, NoSystemBufferWhenBothLengthsAreZero)
{
    ReplyWith(STATUS_BUFFER_ALL_ZEROS, 0, 0);
    sim::io::Handle handle = Open();
    const sim::io::IoctlResult r = handle.DeviceIoControl(kAnyCode, {}, 0);
    EXPECT_EQ(seen_.systemBuffer, nullptr);
    EXPECT_EQ(r.status, STATUS_BUFFER_ALL_ZEROS);
    EXPECT_EQ(r.information, 0u);
}

TEST_F(DeviceIoTest, SystemBufferComesFromPoolAndIsFreedAfterwards)
{
    ReplyWith(STATUS_SUCCESS, 0, 0);
    sim::io::Handle handle = Open();
    size_t outstandingDuring = 0;
    reply_ = [&](PDEVICE_OBJECT, PIRP irp) {
        outstandingDuring = sim::pool::OutstandingCount("IoSb");
        return testdrv::Complete(irp, STATUS_SUCCESS);
    };
    handle.DeviceIoControl(kAnyCode, {}, 8);
    EXPECT_EQ(outstandingDuring, 1u);
    EXPECT_EQ(sim::pool::OutstandingCount("IoSb"), 0u);

    sim::pool::FailTag("IoSb");
    seen_.calls = 0;
    EXPECT_EQ(handle.DeviceIoControl(kAnyCode, {}, 8).status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(seen_.calls, 0);
}

// ---- copy back -----------------------------------------------------------------------------

struct CopyCase {
    NTSTATUS status;
    ULONG written;
    ULONG_PTR information;
    ULONG expectCopied;
};

class CopyBackTest : public DeviceIoTest, public ::testing::WithParamInterface<CopyCase> {};

TEST_P(CopyBackTest, InformationBytesComeBackUnlessTheStatusIsAnError)
{
    const CopyCase c = GetParam();
    ReplyWith(c.status, c.written, c.information);
    sim::io::Handle handle = Open();
    const sim::io::IoctlResult r = handle.DeviceIoControl(kAnyCode, {}, 8);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.information, c.information);
    EXPECT_EQ(r.bytesCopied, c.expectCopied);
    ASSERT_EQ(r.output.size(), 8u);
    for (ULONG i = 0; i < 8; ++i) {
        const uint8_t expected =
            i < c.expectCopied
                ? (i < c.written ? static_cast<uint8_t>(0x10 + i) : sim::io::kSystemBufferFill)
                : sim::io::kCallerBufferFill;
        EXPECT_EQ(r.output[i], expected) << "byte " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, CopyBackTest,
    ::testing::Values(CopyCase{STATUS_SUCCESS, 8, 8, 8}, CopyCase{STATUS_SUCCESS, 8, 3, 3},
                      // Bytes the driver reported but never wrote leak the fill pattern.
                      CopyCase{STATUS_SUCCESS, 2, 6, 6}, CopyCase{STATUS_BUFFER_ALL_ZEROS, 0, 0, 0},
                      // Warnings are copied like successes.
                      CopyCase{STATUS_BUFFER_OVERFLOW, 4, 4, 4},
                      // Errors copy nothing, whatever Information says.
                      CopyCase{STATUS_INVALID_PARAMETER, 8, 8, 0},
                      CopyCase{STATUS_UNSUCCESSFUL, 8, 2, 0}));

TEST_F(DeviceIoTest, ChangedFillShowsUnwrittenReplyBytes)
{
    // Two bytes written, six reported: the last four follow the fill in use (the fixture's
    // reset puts the usual one back for the next test).
    ReplyWith(STATUS_SUCCESS, 2, 6);
    sim::io::Handle handle = Open();
    const auto first = handle.DeviceIoControl(kAnyCode, {}, 6).output;
    sim::io::SetSystemBufferFill(0x3C);
    const auto second = handle.DeviceIoControl(kAnyCode, {}, 6).output;
    EXPECT_EQ(first, (std::vector<uint8_t>{0x10, 0x11, 0xA5, 0xA5, 0xA5, 0xA5}));
    EXPECT_EQ(second, (std::vector<uint8_t>{0x10, 0x11, 0x3C, 0x3C, 0x3C, 0x3C}));
}

TEST_F(DeviceIoTest, InformationBeyondTheOutputBufferIsReportedAndClamped)
{
    // A 4-byte output with a 16-byte input: the system buffer holds 16 bytes, so only the user
    // buffer is overrun.
    ReplyWith(STATUS_BUFFER_OVERFLOW, 16, 12);
    sim::io::Handle handle = Open();
    const std::vector<uint8_t> input(16, 0);
    const sim::io::IoctlResult r = handle.DeviceIoControl(kAnyCode, input, 4);
    EXPECT_EQ(r.information, 12u);
    EXPECT_EQ(r.bytesCopied, 4u);
    EXPECT_EQ(r.output, (std::vector<uint8_t>{0x10, 0x11, 0x12, 0x13}));
    EXPECT_EQ(TakeFaults("overruns the user buffer"), 1u);
}

TEST_F(DeviceIoTest, InformationBeyondTheSystemBufferIsReportedAsDisclosure)
{
    ReplyWith(STATUS_SUCCESS, 4, 40);
    sim::io::Handle handle = Open();
    std::vector<uint8_t> output(64, 0);
    const sim::io::IoctlResult r = handle.DeviceIoControl(kAnyCode, nullptr, 0, output.data(), 4);
    EXPECT_EQ(r.bytesCopied, 4u);
    EXPECT_EQ(output[4], 0) << "nothing past the system buffer reaches the caller";
    EXPECT_EQ(TakeFaults("kernel memory disclosed"), 1u);
}

TEST_F(DeviceIoTest, OverflowReplyCarryingTheNeededSizeIsCaught)
{
    // The shape of a "buffer too small, here is the size you need" reply sent with a warning
    // status: Windows would copy the needed size into the short buffer.
    reply_ = [](PDEVICE_OBJECT, PIRP irp) {
        return testdrv::Complete(irp, STATUS_BUFFER_OVERFLOW, 256);
    };
    sim::io::Handle handle = Open();
    const sim::io::IoctlResult r = handle.DeviceIoControl(kAnyCode, {}, 4);
    EXPECT_EQ(r.status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(r.information, 256u);
    EXPECT_EQ(r.bytesCopied, 4u);
    EXPECT_EQ(TakeFaults("DeviceIoControl"), 2u); // user overrun and disclosure
}

TEST_F(DeviceIoTest, PendingDeviceControlIsWaitedFor)
{
    std::thread worker;
    reply_ = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        worker = std::thread([irp] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer)[0] = 0x42;
            testdrv::Complete(irp, STATUS_SUCCESS, 1);
        });
        return STATUS_PENDING;
    };
    sim::io::Handle handle = Open();
    const sim::io::IoctlResult r = handle.DeviceIoControl(kAnyCode, {}, 2);
    worker.join();
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.output, (std::vector<uint8_t>{0x42, sim::io::kCallerBufferFill}));
}

TEST_F(DeviceIoTest, ManyThreadsOnOneHandleGetTheirOwnBuffers)
{
    // Each request echoes its input; interleaved requests must not see each other's buffers.
    reply_ = [](PDEVICE_OBJECT, PIRP irp) {
        const ULONG length =
            IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
        std::this_thread::yield();
        return testdrv::Complete(irp, STATUS_SUCCESS, length);
    };
    B().dispatch[IRP_MJ_DEVICE_CONTROL] = [this](PDEVICE_OBJECT device, PIRP irp) {
        return reply_(device, irp);
    };
    sim::io::Handle handle = Open();
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                const std::vector<uint8_t> input(4 + (i % 5), static_cast<uint8_t>(t * 16 + i));
                const sim::io::IoctlResult r =
                    handle.DeviceIoControl(kAnyCode, input, static_cast<ULONG>(input.size()));
                if (r.status != STATUS_SUCCESS || r.output != input)
                    ++mismatches;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(sim::io::OutstandingRequestCount(), 0u);
    EXPECT_EQ(sim::pool::OutstandingCount("IoSb"), 0u);
}

} // namespace
