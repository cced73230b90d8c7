// Remove locks with the kernel's semantics: a count biased by one at initialisation, acquisition
// refused with STATUS_DELETE_PENDING once removal began, and release-and-wait that drops the
// caller's reference and the bias and blocks until every other holder has released.
//
// Like a checked build, the simulator tracks each acquisition by its tag, so that releasing a
// tag that holds no reference (a double release, or a release on a path that never acquired)
// is reported instead of silently unbalancing the count. The state lives beside the lock,
// keyed by its address, so the IO_REMOVE_LOCK in a device extension is only written as the
// kernel writes it.
#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "kernel/debug/faults.hpp"
#include "kernel/io/internal.hpp"
#include "kernel/io/remove_lock.hpp"
#include "sim_ntddk.h"

namespace {

struct LockState {
    std::mutex mutex;
    std::condition_variable released;
    LONG count = 1; // the bias taken at initialisation
    bool removed = false;
    bool waitDone = false;
    std::multimap<PVOID, int> holders; // tag -> one entry per reference
    LONG highest = 0;
};

struct Table {
    std::mutex mutex;
    std::map<PIO_REMOVE_LOCK, std::shared_ptr<LockState>> locks;
};

Table& T()
{
    static Table* table = new Table;
    return *table;
}

std::shared_ptr<LockState> Find(PIO_REMOVE_LOCK lock, const char* routine)
{
    {
        Table& t = T();
        std::lock_guard guard(t.mutex);
        auto it = t.locks.find(lock);
        if (it != t.locks.end())
            return it->second;
    }
    sim::faults::Report(std::string(routine) +
                        " on a remove lock that was never initialised (IoInitializeRemoveLockEx)");
    return nullptr;
}

bool CheckSize(ULONG size, const char* routine)
{
    if (size == sizeof(IO_REMOVE_LOCK))
        return true;
    sim::faults::Report(std::string(routine) + ": lock size " + std::to_string(size) +
                        " is not sizeof(IO_REMOVE_LOCK)");
    return false;
}

// Mirrors the count into the structure, where a debugger would look.
void Publish(PIO_REMOVE_LOCK lock, const LockState& state)
{
    __atomic_store_n(&lock->IoCount, state.count, __ATOMIC_SEQ_CST);
    __atomic_store_n(&lock->Removed, static_cast<BOOLEAN>(state.removed), __ATOMIC_SEQ_CST);
}

} // namespace

namespace sim::io {

size_t RemoveLockHolders(PIO_REMOVE_LOCK lock)
{
    Table& t = T();
    std::shared_ptr<LockState> state;
    {
        std::lock_guard guard(t.mutex);
        auto it = t.locks.find(lock);
        if (it == t.locks.end())
            return 0;
        state = it->second;
    }
    std::lock_guard guard(state->mutex);
    return state->holders.size();
}

bool RemoveLockRemoved(PIO_REMOVE_LOCK lock)
{
    Table& t = T();
    std::shared_ptr<LockState> state;
    {
        std::lock_guard guard(t.mutex);
        auto it = t.locks.find(lock);
        if (it == t.locks.end())
            return false;
        state = it->second;
    }
    std::lock_guard guard(state->mutex);
    return state->removed;
}

void ResetRemoveLocks()
{
    Table& t = T();
    std::lock_guard guard(t.mutex);
    t.locks.clear();
}

} // namespace sim::io

VOID NTAPI IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                                    ULONG HighWatermark, ULONG RemlockSize)
{
    CheckSize(RemlockSize, "IoInitializeRemoveLockEx");
    auto state = std::make_shared<LockState>();
    std::memset(Lock, 0, sizeof(*Lock));
    KeInitializeEvent(&Lock->RemoveEvent, SynchronizationEvent, FALSE);
    Lock->AllocateTag = AllocateTag;
    Lock->MaxLockedMinutes = MaxLockedMinutes;
    Lock->HighWatermark = HighWatermark;
    Publish(Lock, *state);
    Table& t = T();
    std::lock_guard guard(t.mutex);
    t.locks[Lock] = std::move(state);
}

NTSTATUS NTAPI IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line,
                                     ULONG RemlockSize)
{
    UNREFERENCED_PARAMETER(File);
    UNREFERENCED_PARAMETER(Line);
    sim::io::internal::CheckIrql("IoAcquireRemoveLockEx", DISPATCH_LEVEL);
    CheckSize(RemlockSize, "IoAcquireRemoveLockEx");
    std::shared_ptr<LockState> state = Find(RemoveLock, "IoAcquireRemoveLockEx");
    if (state == nullptr)
        return STATUS_DELETE_PENDING;
    std::lock_guard guard(state->mutex);
    if (state->removed)
        return STATUS_DELETE_PENDING;
    ++state->count;
    state->highest = std::max(state->highest, state->count);
    state->holders.emplace(Tag, 0);
    Publish(RemoveLock, *state);
    return STATUS_SUCCESS;
}

VOID NTAPI IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize)
{
    sim::io::internal::CheckIrql("IoReleaseRemoveLockEx", DISPATCH_LEVEL);
    CheckSize(RemlockSize, "IoReleaseRemoveLockEx");
    std::shared_ptr<LockState> state = Find(RemoveLock, "IoReleaseRemoveLockEx");
    if (state == nullptr)
        return;
    std::string problem;
    {
        std::lock_guard guard(state->mutex);
        auto it = state->holders.find(Tag);
        if (it == state->holders.end()) {
            problem = "IoReleaseRemoveLockEx: release with a tag that holds no reference "
                      "(released twice, or never acquired)";
        } else {
            state->holders.erase(it);
            --state->count;
            Publish(RemoveLock, *state);
            if (state->count == 0)
                state->released.notify_all();
        }
    }
    if (!problem.empty())
        sim::faults::Report(problem);
}

VOID NTAPI IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize)
{
    sim::io::internal::CheckIrql("IoReleaseRemoveLockAndWaitEx", PASSIVE_LEVEL);
    CheckSize(RemlockSize, "IoReleaseRemoveLockAndWaitEx");
    std::shared_ptr<LockState> state = Find(RemoveLock, "IoReleaseRemoveLockAndWaitEx");
    if (state == nullptr)
        return;
    std::string problem;
    {
        std::unique_lock lock(state->mutex);
        if (state->removed) {
            problem = "IoReleaseRemoveLockAndWaitEx called twice on the same lock";
        } else {
            state->removed = true;
            // The caller's own reference (taken for the removal request) goes first.
            auto it = state->holders.find(Tag);
            if (it == state->holders.end()) {
                problem = "IoReleaseRemoveLockAndWaitEx by a caller that does not hold the "
                          "lock with this tag";
            } else {
                state->holders.erase(it);
                --state->count;
            }
            // Then the initialisation bias; wait for everyone else.
            --state->count;
            Publish(RemoveLock, *state);
            state->released.wait(lock, [&state] { return state->count <= 0; });
            state->waitDone = true;
        }
    }
    if (!problem.empty())
        sim::faults::Report(problem);
}
