// Every pool allocation of a whole life made to fail in turn: load, AddDevice, start, open,
// every request, close, removal and unload. Each step that meets the failure ends with its
// documented status, the steps after it still run as the system would run them, and the life
// leaves nothing behind: no pool allocation, registry handle, device object, mapping or
// simulator fault. A request that succeeds gives the reply of a life without failures. Then the
// same with every pool tag the life uses failed throughout.
#include <functional>
#include <string>
#include <vector>

#include "kernel/debug/faults.hpp"
#include "kernel/pool/pool.hpp"
#include "kernel/registry/registry.hpp"
#include "kernel/reset.hpp"
#include "lifecycle_machine.hpp"
#include "machine/driver_image.hpp"
#include "sim_fixture.hpp"

using namespace lifecycle;

namespace {

struct Life {
    uint64_t allocations = 0; // attempted during the life
    bool started = false;
    std::vector<sim::io::IoctlResult> replies; // one per request of EveryRequest()
};

bool IsOneOf(NTSTATUS status, std::initializer_list<NTSTATUS> allowed)
{
    for (NTSTATUS s : allowed)
        if (status == s)
            return true;
    return false;
}

class WholeLifeFaultTest : public SimTest {
  protected:
    // One life on a freshly booted machine, with `arm` injecting the failure once the board is
    // in place.
    Life Run(const std::function<void()>& arm)
    {
        sim::ResetAll();
        sim::machine::ReloadDriverImage();
        Life life;
        {
            LifecycleMachine machine;
            const uint64_t before = sim::pool::AllocationCount();
            arm();
            RunSteps(machine, life);
            sim::pool::ClearFaults();
            life.allocations = sim::pool::AllocationCount() - before;
        }
        sim::bus::WaitForPendingCompletions();
        EXPECT_EQ(sim::pool::OutstandingCount(), 0u) << OutstandingSummary();
        EXPECT_EQ(sim::registry::OpenHandleCount(), 0u);
        EXPECT_EQ(sim::io::DeviceCount(), 1u) << "only the bus device may stay";
        EXPECT_EQ(sim::io::OutstandingRequestCount(), 0u);
        EXPECT_TRUE(sim::hw::Current().memory.OutstandingMappings().empty());
        for (const auto& fault : sim::faults::All())
            ADD_FAILURE() << "simulator reported: " << fault;
        sim::faults::Clear();
        return life;
    }

    void RunSteps(LifecycleMachine& machine, Life& life)
    {
        const NTSTATUS load = machine.Load();
        EXPECT_TRUE(IsOneOf(load, {STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES})) << load;
        if (!NT_SUCCESS(load))
            return;
        const NTSTATUS added = machine.AddDevice();
        EXPECT_TRUE(IsOneOf(added, {STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES})) << added;
        if (NT_SUCCESS(added)) {
            const sim::pnp::PnpResult start = machine.Start();
            EXPECT_TRUE(start.completed);
            EXPECT_TRUE(IsOneOf(
                start.status, {STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES, STATUS_UNSUCCESSFUL}))
                << start.status;
            life.started = NT_SUCCESS(start.status);
            if (life.started)
                SendRequests(machine, life);
            // Windows removes a device whose start failed just as one that ran.
            EXPECT_EQ(machine.Remove().status, STATUS_SUCCESS);
        }
        EXPECT_TRUE(machine.Unload());
    }

    static void SendRequests(LifecycleMachine& machine, Life& life)
    {
        sim::io::OpenResult open = machine.Open();
        EXPECT_TRUE(IsOneOf(open.status, {STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES}))
            << open.status;
        if (!NT_SUCCESS(open.status))
            return;
        for (const Request& request : EveryRequest()) {
            life.replies.push_back(
                open.handle.DeviceIoControl(request.code, request.input, request.outputLength));
            // Only the I/O manager's system buffer can fail here.
            EXPECT_TRUE(IsOneOf(life.replies.back().status,
                                {STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES}))
                << std::hex << request.code << ": " << life.replies.back().status;
        }
        EXPECT_EQ(open.handle.Close(), STATUS_SUCCESS);
    }

    // Each reply that succeeded is the reference's.
    static void ExpectReferenceReplies(const Life& life, const Life& reference)
    {
        for (size_t i = 0; i < life.replies.size() && i < reference.replies.size(); ++i) {
            if (life.replies[i].status != STATUS_SUCCESS)
                continue;
            EXPECT_EQ(life.replies[i].information, reference.replies[i].information) << i;
            EXPECT_EQ(life.replies[i].output, reference.replies[i].output) << i;
        }
    }
};

TEST_F(WholeLifeFaultTest, EveryAllocationOfALifeFailsInTurn)
{
    const Life reference = Run([] {});
    ASSERT_TRUE(reference.started);
    ASSERT_EQ(reference.replies.size(), EveryRequest().size());
    ASSERT_GT(reference.allocations, 10u) << "the life is expected to allocate";

    RecordProperty("allocations", std::to_string(reference.allocations));
    size_t failedStarts = 0;
    for (uint64_t n = 1; n <= reference.allocations; ++n) {
        SCOPED_TRACE("allocation " + std::to_string(n) + " of " +
                     std::to_string(reference.allocations));
        const Life life = Run([n] { sim::pool::FailNthAllocation(n); });
        failedStarts += life.started ? 0 : 1;
        ExpectReferenceReplies(life, reference);
        if (HasFailure())
            break; // the first allocation that shows a fault is enough to look at
    }
    // Most of the life's allocations are the load's and the start's.
    EXPECT_GT(failedStarts, 0u);
}

TEST_F(WholeLifeFaultTest, EveryTagFailedThroughoutALife)
{
    const Life reference = Run([] {});
    ASSERT_TRUE(reference.started);
    sim::ResetAll();
    sim::machine::ReloadDriverImage();
    {
        LifecycleMachine machine;
        Life life;
        RunSteps(machine, life);
    }
    const std::vector<std::string> tags = sim::pool::TagsUsed();
    ASSERT_GE(tags.size(), 5u);
    RecordProperty("tags", std::to_string(tags.size()));
    for (const std::string& tag : tags) {
        SCOPED_TRACE("tag " + tag);
        const Life life = Run([&tag] { sim::pool::FailTag(tag); });
        ExpectReferenceReplies(life, reference);
    }
}

} // namespace
