// The mutex that Super I/O monitoring tools on one machine share, so that no two of them drive
// the chip's index/data ports at once. Whoever comes first creates it, open to everyone; each
// tool holds it only for one batch of accesses and waits a bounded time for it. A mutex whose
// owner ended without releasing it ("abandoned") is taken over: the ports are not left in the
// middle of a transaction by a reading request, which the driver completes before returning.
#pragma once

#include <cstdint>
#include <string>

namespace kwotarv {

inline constexpr const char* kIsaBusMutexName = "Global\\Access_ISABUS.HTP.Method";
inline constexpr uint32_t kDefaultBusLockTimeoutMs = 500;
inline constexpr uint32_t kMaxBusLockTimeoutMs = 60000;

enum class BusWait { Acquired, Abandoned, TimedOut };

// The named mutex as the platform offers it: the system's on Windows, the simulator's on Linux.
class BusMutex {
  public:
    virtual ~BusMutex() = default;
    // Waits up to `milliseconds` for ownership by the calling thread.
    virtual BusWait Wait(uint32_t milliseconds) = 0;
    // Gives up the ownership Wait() gave.
    virtual void Release() = 0;
};

// Which mutex a client takes around its batches, and how long it waits; no mutex, no lock.
struct BusLock {
    BusMutex* mutex = nullptr;
    uint32_t timeoutMs = kDefaultBusLockTimeoutMs;
};

// The ISA-bus mutex was not released within the wait.
class BusLockTimeout : public std::exception {
  public:
    explicit BusLockTimeout(uint32_t timeoutMs);
    const char* what() const noexcept override { return message_.c_str(); }

  private:
    std::string message_;
};

// Holds the mutex of `lock` for one batch of requests: from construction (which throws
// BusLockTimeout when the wait runs out) to destruction.
class BusLockGuard {
  public:
    explicit BusLockGuard(const BusLock& lock);
    ~BusLockGuard();
    BusLockGuard(const BusLockGuard&) = delete;
    BusLockGuard& operator=(const BusLockGuard&) = delete;

  private:
    BusMutex* held_ = nullptr;
};

} // namespace kwotarv
