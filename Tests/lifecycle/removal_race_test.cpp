// Removal racing with device-control requests on other threads. The removal waits for the
// requests in flight before it frees the channel lists and the info block; requests that arrive
// after it began fail with STATUS_DELETE_PENDING. Under the address sanitizer (preset host-asan)
// any request touching freed memory fails the run.
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "kernel/pool.hpp"
#include "lifecycle_fixture.hpp"

using namespace lifecycle;
using namespace std::chrono_literals;

namespace {

// Polls `condition` for up to two seconds.
template <typename Condition> bool WaitFor(Condition condition)
{
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

bool RemovalReachedTheBus(const sim::bus::BusDevice& bus)
{
    for (UCHAR minor : bus.PnpMinors())
        if (minor == IRP_MN_REMOVE_DEVICE)
            return true;
    return false;
}

using RemovalRaceTest = LifecycleTest;

TEST_F(RemovalRaceTest, RemovalWaitsForTheRequestInFlight)
{
    Machine().BringUp();
    PDEVICE_EXTENSION extension = Machine().Extension();
    sim::io::OpenResult open = Machine().Open();
    ASSERT_EQ(open.status, STATUS_SUCCESS);

    // Hold the device lock so that the request stops inside the driver, past the remove lock.
    AcquireDeviceLock(extension);
    sim::io::IoctlResult reply;
    std::thread request([&] {
        reply = open.handle.DeviceIoControl(IOCTL_HWM_GET_CHIP_INFO, {}, sizeof(CHIP_INFO_BLOCK));
    });
    ASSERT_TRUE(WaitFor(
        [&] { return __atomic_load_n(&extension->RemoveLock.IoCount, __ATOMIC_SEQ_CST) >= 2; }));

    std::atomic<bool> removed{false};
    sim::pnp::PnpResult removal;
    std::thread remover([&] {
        removal = Machine().Remove();
        removed = true;
    });

    // The removal gets as far as the wait and no further while the request runs.
    std::this_thread::sleep_for(150ms);
    EXPECT_FALSE(removed.load());
    EXPECT_FALSE(RemovalReachedTheBus(Machine().Bus()));
    EXPECT_EQ(sim::pool::OutstandingCount("Cinf"), 1u);

    ReleaseDeviceLock(extension);
    request.join();
    remover.join();

    // The request saw the whole block, and the removal finished after it.
    EXPECT_EQ(reply.status, STATUS_SUCCESS);
    EXPECT_EQ(reply.information, (ULONG_PTR)CHIP_INFO_BLOCK_SIZE(2));
    uint32_t size = 0;
    std::memcpy(&size, reply.output.data(), sizeof size);
    EXPECT_EQ(size, CHIP_INFO_BLOCK_SIZE(2));
    EXPECT_EQ(removal.status, STATUS_SUCCESS);
    EXPECT_TRUE(RemovalReachedTheBus(Machine().Bus()));
    EXPECT_EQ(sim::pool::OutstandingCount("Cinf"), 0u);

    EXPECT_EQ(open.handle.DeviceIoControl(IOCTL_HWM_GET_FANS, {}, HWM_FANS_REPLY_SIZE).status,
              STATUS_DELETE_PENDING);
    open.handle.Close();
    ASSERT_TRUE(Machine().Unload());
    EXPECT_EQ(sim::pool::OutstandingCount(), 0u) << OutstandingSummary();
}

// One kind of request a racing thread keeps sending, with a buffer it is entitled to.
struct Probe {
    ULONG code;
    std::vector<uint8_t> input;
    ULONG outputLength;
};

std::vector<Probe> Probes()
{
    auto selector = [](uint32_t value) {
        std::vector<uint8_t> bytes(4);
        std::memcpy(bytes.data(), &value, 4);
        return bytes;
    };
    return {
        {IOCTL_HWM_GET_VOLTAGES, {}, HWM_VOLTAGES_REPLY_SIZE},
        {IOCTL_HWM_GET_TEMPERATURES, {}, HWM_TEMPERATURES_REPLY_SIZE},
        {IOCTL_HWM_GET_FANS, {}, HWM_FANS_REPLY_SIZE},
        {IOCTL_HWM_GET_CHIP_INFO, {}, sizeof(CHIP_INFO_BLOCK)},
        {IOCTL_HWM_GET_CHIP_DESC, {}, HWM_CHIP_DESC_REPLY_SIZE},
        {IOCTL_HWM_GET_CHANNEL_NAMES, selector(HWM_SELECT_VOLTAGES), 9 * HWM_CHANNEL_NAME_SLOT},
        {IOCTL_HWM_GET_CHANNEL_NAMES, selector(HWM_SELECT_TEMPERATURES), 3 * 64},
        {IOCTL_HWM_GET_CHANNEL_VALUES, selector(HWM_SELECT_VOLTAGES), 9 * 4},
        {IOCTL_HWM_GET_CHANNEL_VALUES, selector(HWM_SELECT_FANS), 5 * 4},
    };
}

class RemovalStressTest : public LifecycleTest, public ::testing::WithParamInterface<int> {};

TEST_P(RemovalStressTest, RequestsDuringRemovalSucceedOrFailCleanly)
{
    const int threads = GetParam();
    Machine().BringUp();
    sim::io::OpenResult open = Machine().Open();
    ASSERT_EQ(open.status, STATUS_SUCCESS);
    const std::vector<Probe> probes = Probes();

    std::atomic<int> warmedUp{0};
    std::vector<std::vector<NTSTATUS>> seen(threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            const auto deadline = std::chrono::steady_clock::now() + 10s;
            for (size_t i = t;; ++i) {
                const Probe& probe = probes[i % probes.size()];
                sim::io::IoctlResult r =
                    open.handle.DeviceIoControl(probe.code, probe.input, probe.outputLength);
                seen[t].push_back(r.status);
                if (i == static_cast<size_t>(t) + 20)
                    ++warmedUp;
                if (r.status == STATUS_DELETE_PENDING ||
                    std::chrono::steady_clock::now() > deadline)
                    break;
            }
        });
    }
    ASSERT_TRUE(WaitFor([&] { return warmedUp.load() == threads; }));
    sim::pnp::PnpResult removal = Machine().Remove();
    for (auto& worker : workers)
        worker.join();

    EXPECT_EQ(removal.status, STATUS_SUCCESS);
    for (int t = 0; t < threads; ++t) {
        SCOPED_TRACE("thread " + std::to_string(t));
        ASSERT_FALSE(seen[t].empty());
        // Successes up to the removal, then the refusal, never anything else.
        EXPECT_EQ(seen[t].back(), STATUS_DELETE_PENDING);
        for (size_t i = 0; i + 1 < seen[t].size(); ++i)
            ASSERT_EQ(seen[t][i], STATUS_SUCCESS) << "request " << i;
    }

    open.handle.Close();
    ASSERT_TRUE(Machine().Unload());
    EXPECT_EQ(sim::pool::OutstandingCount(), 0u) << OutstandingSummary();
}

INSTANTIATE_TEST_SUITE_P(Threads, RemovalStressTest, ::testing::Values(1, 2, 4, 8));

} // namespace
