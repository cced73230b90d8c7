// Removal racing with device-control requests on other threads. The removal waits for the
// requests in flight before it frees the channel lists and the info block; requests that arrive
// after it began fail with STATUS_DELETE_PENDING, and every reply before that is the one a
// single client gets. Orderly and surprise removal, and handles closed during the removal. Under
// the address sanitizer (preset host-asan) any request touching freed memory fails the run.
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "kernel/pool/pool.hpp"
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

// How the device goes while the requests run.
enum class Ending {
    Removal,           // an orderly removal
    SurpriseRemoval,   // surprise removal first (requests still answered), then the removal
    CloseDuringRemoval // each thread closes its own handle as soon as it is refused, while the
                       // removal and the other threads' requests are still going on
};

struct StressCase {
    Ending ending;
    int threads;
};

std::string CaseName(const StressCase& c)
{
    static const char* const kNames[] = {"Removal", "SurpriseRemoval", "CloseDuringRemoval"};
    return std::string(kNames[static_cast<int>(c.ending)]) + "_" + std::to_string(c.threads) +
           "Threads";
}

void PrintTo(const StressCase& c, std::ostream* os)
{
    *os << CaseName(c);
}

class RemovalStressTest : public LifecycleTest, public ::testing::WithParamInterface<StressCase> {};

TEST_P(RemovalStressTest, RequestsDuringRemovalGiveTheSingleThreadedRepliesOrFailCleanly)
{
    const auto [ending, threads] = GetParam();
    Machine().BringUp();
    const std::vector<Request> probes = EveryRequest();

    // The replies a single client gets, one request at a time.
    std::vector<sim::io::IoctlResult> reference;
    {
        sim::io::OpenResult open = Machine().Open();
        ASSERT_EQ(open.status, STATUS_SUCCESS);
        for (const Request& probe : probes) {
            reference.push_back(
                open.handle.DeviceIoControl(probe.code, probe.input, probe.outputLength));
            ASSERT_EQ(reference.back().status, STATUS_SUCCESS);
        }
    }

    std::vector<sim::io::Handle> handles;
    for (int t = 0; t < threads; ++t) {
        sim::io::OpenResult open = Machine().Open();
        ASSERT_EQ(open.status, STATUS_SUCCESS);
        handles.push_back(std::move(open.handle));
    }

    struct Seen {
        size_t probe;
        sim::io::IoctlResult reply;
    };
    std::atomic<int> warmedUp{0};
    std::vector<std::vector<Seen>> seen(threads);
    std::vector<NTSTATUS> closeStatus(threads, STATUS_PENDING);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            const auto deadline = std::chrono::steady_clock::now() + 10s;
            for (size_t i = t;; ++i) {
                const Request& probe = probes[i % probes.size()];
                seen[t].push_back(
                    {i % probes.size(),
                     handles[t].DeviceIoControl(probe.code, probe.input, probe.outputLength)});
                if (i == static_cast<size_t>(t) + 20)
                    ++warmedUp;
                if (seen[t].back().reply.status == STATUS_DELETE_PENDING ||
                    std::chrono::steady_clock::now() > deadline)
                    break;
            }
            if (ending == Ending::CloseDuringRemoval)
                closeStatus[t] = handles[t].Close();
        });
    }
    ASSERT_TRUE(WaitFor([&] { return warmedUp.load() == threads; }));
    if (ending == Ending::SurpriseRemoval) {
        EXPECT_EQ(sim::pnp::SurpriseRemoval(Machine().Pdo()).status, STATUS_SUCCESS);
        std::this_thread::sleep_for(20ms); // requests keep coming after the surprise
    }
    sim::pnp::PnpResult removal = Machine().Remove();
    for (auto& worker : workers)
        worker.join();

    EXPECT_EQ(removal.status, STATUS_SUCCESS);
    for (int t = 0; t < threads; ++t) {
        SCOPED_TRACE("thread " + std::to_string(t));
        ASSERT_FALSE(seen[t].empty());
        // The single-threaded replies up to the removal, then the refusal, never anything else.
        EXPECT_EQ(seen[t].back().reply.status, STATUS_DELETE_PENDING);
        EXPECT_EQ(seen[t].back().reply.bytesCopied, 0u);
        for (size_t i = 0; i + 1 < seen[t].size(); ++i) {
            const Seen& s = seen[t][i];
            const sim::io::IoctlResult& expected = reference[s.probe];
            ASSERT_EQ(s.reply.status, STATUS_SUCCESS) << "request " << i;
            ASSERT_EQ(s.reply.information, expected.information) << "request " << i;
            ASSERT_EQ(s.reply.output, expected.output) << "request " << i;
        }
        if (ending == Ending::CloseDuringRemoval)
            EXPECT_EQ(closeStatus[t], STATUS_SUCCESS);
    }

    handles.clear();
    ASSERT_TRUE(Machine().Unload());
    EXPECT_EQ(sim::pool::OutstandingCount(), 0u) << OutstandingSummary();
}

INSTANTIATE_TEST_SUITE_P(Endings, RemovalStressTest,
                         ::testing::Values(StressCase{Ending::Removal, 1},
                                           StressCase{Ending::Removal, 2},
                                           StressCase{Ending::Removal, 4},
                                           StressCase{Ending::Removal, 8},
                                           StressCase{Ending::SurpriseRemoval, 1},
                                           StressCase{Ending::SurpriseRemoval, 4},
                                           StressCase{Ending::CloseDuringRemoval, 1},
                                           StressCase{Ending::CloseDuringRemoval, 4},
                                           StressCase{Ending::CloseDuringRemoval, 8}),
                         [](const auto& info) { return CaseName(info.param); });

} // namespace
