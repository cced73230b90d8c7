// Requests from several threads at once: each must see its own complete readings, and the chip
// model (which reports any interleaving of two threads' register sequences) must see none.
#include <atomic>
#include <thread>
#include <vector>
#include <gtest/gtest.h>

#include "control_fixture.hpp"

using namespace kwo::test;
using sim::io::IoctlResult;

namespace {

class ConcurrencyTest : public ControlTest {};

TEST_F(ConcurrencyTest, ReadingsOfDifferentThreadsDoNotInterleave)
{
    constexpr int kThreads = 6;
    constexpr int kRounds = 150;
    std::atomic<int> wrongReplies{0};
    std::atomic<int> failedOpens{0};

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            sim::io::OpenResult open = sim::io::OpenDevice(
                u"\\\\.\\KwoTarvDev", sim::io::kGenericRead | sim::io::kGenericWrite);
            if (open.status != STATUS_SUCCESS) {
                ++failedOpens;
                return;
            }
            const sim::io::Handle& h = open.handle;
            for (int i = 0; i < kRounds; ++i) {
                bool ok = true;
                switch ((t + i) % 4) {
                case 0: {
                    IoctlResult r = h.DeviceIoControl(IOCTL_HWM_GET_VOLTAGES, {}, 36);
                    ok = r.status == STATUS_SUCCESS && r.information == 12 &&
                         U32(r.output, 0) == kVolt0 && U32(r.output, 4) == kVolt1 &&
                         U32(r.output, 8) == kVolt2;
                    break;
                }
                case 1: {
                    IoctlResult r = h.DeviceIoControl(IOCTL_HWM_GET_TEMPERATURES, {}, 12);
                    ok = r.status == STATUS_SUCCESS && r.information == 12 &&
                         I32(r.output, 0) == 0 && I32(r.output, 4) == kTemp0 &&
                         I32(r.output, 8) == kTemp1;
                    break;
                }
                case 2: {
                    IoctlResult r = h.DeviceIoControl(IOCTL_HWM_GET_FANS, {}, 20);
                    ok = r.status == STATUS_SUCCESS && r.information == 20 &&
                         U32(r.output, 0) == kFan0 && U32(r.output, 4) == kFan1 &&
                         U32(r.output, 8) == 0 && U32(r.output, 16) == 0;
                    break;
                }
                case 3: {
                    IoctlResult r =
                        h.DeviceIoControl(IOCTL_HWM_GET_CHANNEL_VALUES,
                                          ControlTest::Selector(HWM_SELECT_VOLTAGES), 12);
                    ok = r.status == STATUS_SUCCESS && r.information == 12 &&
                         U32(r.output, 0) == kVolt0 && U32(r.output, 8) == kVolt2;
                    break;
                }
                }
                if (!ok)
                    ++wrongReplies;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();

    EXPECT_EQ(failedOpens.load(), 0);
    EXPECT_EQ(wrongReplies.load(), 0);
    EXPECT_EQ(dev->Chip().ProtocolViolations(), 0u);
    EXPECT_FALSE(dev->Chip().SequenceOpen());
    // Every request left its critical region and released the device lock.
    EXPECT_EQ(KeReadStateEvent(&dev->Ext().DeviceLock), 1);
}

} // namespace
