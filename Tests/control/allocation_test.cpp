// No device-control request allocates memory. The requests are dispatched directly (the test
// owns the system buffer), so every allocation counted during the call is the driver's.
#include <algorithm>
#include <string>
#include <vector>
#include <ostream>
#include <gtest/gtest.h>

#include "control_fixture.hpp"
#include "kernel/io/io_manager.hpp"
#include "kernel/pool/pool.hpp"

#include "control/control.h"

using namespace kwo::test;

namespace {

struct RequestCase {
    const char* name;
    ULONG code;
    uint32_t selector; // 0: no input
    ULONG outputLength;
    NTSTATUS status;
};

void PrintTo(const RequestCase& c, std::ostream* os)
{
    *os << c.name;
}

class NoAllocationTest : public ControlTest, public ::testing::WithParamInterface<RequestCase> {};

TEST_P(NoAllocationTest, DispatchAllocatesNothing)
{
    const RequestCase& c = GetParam();
    const ULONG inputLength = c.selector ? 4 : 0;
    std::vector<uint8_t> systemBuffer(std::max(inputLength, c.outputLength), 0xA5);
    if (c.selector)
        std::memcpy(systemBuffer.data(), &c.selector, 4);

    sim::io::IrpRequest request(dev->Device()->StackSize);
    PIO_STACK_LOCATION stack = request.FirstLocation();
    stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.OutputBufferLength = c.outputLength;
    stack->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    stack->Parameters.DeviceIoControl.IoControlCode = c.code;
    request.Irp()->AssociatedIrp.SystemBuffer =
        systemBuffer.empty() ? nullptr : systemBuffer.data();

    const uint64_t before = sim::pool::AllocationCount();
    sim::io::RequestOutcome outcome = request.Send(dev->Device());

    EXPECT_EQ(sim::pool::AllocationCount(), before);
    EXPECT_TRUE(outcome.completed);
    EXPECT_EQ(outcome.returned, c.status);
    EXPECT_EQ(outcome.status, c.status);
    EXPECT_LE(outcome.information, c.outputLength);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, NoAllocationTest,
    ::testing::Values(
        RequestCase{"Temperatures", IOCTL_HWM_GET_TEMPERATURES, 0, 12, STATUS_SUCCESS},
        RequestCase{"Voltages", IOCTL_HWM_GET_VOLTAGES, 0, 36, STATUS_SUCCESS},
        RequestCase{"ChipDesc", IOCTL_HWM_GET_CHIP_DESC, 0, 384, STATUS_SUCCESS},
        RequestCase{"ChipInfo", IOCTL_HWM_GET_CHIP_INFO, 0, 800, STATUS_SUCCESS},
        RequestCase{"ChipInfoShort", IOCTL_HWM_GET_CHIP_INFO, 0, 8, STATUS_BUFFER_OVERFLOW},
        RequestCase{"Fans", IOCTL_HWM_GET_FANS, 0, 20, STATUS_SUCCESS},
        RequestCase{"Names", IOCTL_HWM_GET_CHANNEL_NAMES, HWM_SELECT_TEMPERATURES, 192,
                    STATUS_SUCCESS},
        RequestCase{"NamesShort", IOCTL_HWM_GET_CHANNEL_NAMES, HWM_SELECT_VOLTAGES, 8,
                    STATUS_BUFFER_OVERFLOW},
        RequestCase{"Values", IOCTL_HWM_GET_CHANNEL_VALUES, HWM_SELECT_FANS, 8, STATUS_SUCCESS},
        RequestCase{"Unknown", 0x00220000, 0, 0, STATUS_INVALID_PARAMETER}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
