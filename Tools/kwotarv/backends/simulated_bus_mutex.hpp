// The simulator's named mutexes: one object per name in the process, with the semantics of a
// Windows mutex that the tool relies on (owned by a thread, recursive for its owner, a bounded
// wait, and abandonment when the owner ends holding it). The Linux back end takes the ISA-bus
// mutex from here, and tests hold it from another thread as a second monitoring tool would.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "client/bus_mutex.hpp"

namespace kwotarv {

class SimulatedNamedMutex : public BusMutex {
  public:
    // The process's mutex of that name, created on first use.
    static SimulatedNamedMutex& Named(const std::string& name);

    BusWait Wait(uint32_t milliseconds) override;
    // Throws std::logic_error when the calling thread does not own it, as ReleaseMutex fails.
    void Release() override;
    // What the system does when the owning thread ends: the mutex is free, and the next wait
    // to get it reports it abandoned. Called by the owning thread.
    void AbandonByOwner();
    // Whether some thread owns it now.
    bool Owned();

  private:
    std::mutex state_;
    std::condition_variable freed_;
    std::optional<std::thread::id> owner_;
    uint32_t recursion_ = 0;
    bool abandoned_ = false;
};

// A second tool holding a named mutex on a thread of its own: from construction until Release()
// (or destruction), or until Abandon() ends the thread still holding it.
class SimulatedMutexHolder {
  public:
    explicit SimulatedMutexHolder(const std::string& name = kIsaBusMutexName);
    ~SimulatedMutexHolder();
    SimulatedMutexHolder(const SimulatedMutexHolder&) = delete;
    SimulatedMutexHolder& operator=(const SimulatedMutexHolder&) = delete;

    void Release();
    void Abandon();

  private:
    enum class End { None, Release, Abandon };
    void Finish(End end);

    SimulatedNamedMutex& mutex_;
    std::mutex state_;
    std::condition_variable changed_;
    bool holding_ = false;
    End end_ = End::None;
    std::thread thread_;
};

} // namespace kwotarv
