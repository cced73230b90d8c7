// The guard around one batch of requests.
#include "client/bus_mutex.hpp"

namespace kwotarv {

BusLockTimeout::BusLockTimeout(uint32_t timeoutMs)
    : message_(std::string("the ISA bus mutex ") + kIsaBusMutexName + " was not released within " +
               std::to_string(timeoutMs) +
               " ms: another monitoring tool is using the chip (--bus-lock-timeout sets the wait)")
{
}

BusLockGuard::BusLockGuard(const BusLock& lock)
{
    if (lock.mutex == nullptr)
        return;
    if (lock.mutex->Wait(lock.timeoutMs) == BusWait::TimedOut)
        throw BusLockTimeout(lock.timeoutMs);
    held_ = lock.mutex;
}

BusLockGuard::~BusLockGuard()
{
    if (held_ != nullptr)
        held_->Release();
}

} // namespace kwotarv
