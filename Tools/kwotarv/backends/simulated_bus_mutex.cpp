// Named mutexes of the simulated system, and the holder that stands for another tool.
#include "backends/simulated_bus_mutex.hpp"

#include <chrono>
#include <map>
#include <memory>
#include <stdexcept>

namespace kwotarv {

SimulatedNamedMutex& SimulatedNamedMutex::Named(const std::string& name)
{
    static std::mutex namesLock;
    static std::map<std::string, std::unique_ptr<SimulatedNamedMutex>> names;
    std::lock_guard lock(namesLock);
    auto& slot = names[name];
    if (!slot)
        slot = std::make_unique<SimulatedNamedMutex>();
    return *slot;
}

BusWait SimulatedNamedMutex::Wait(uint32_t milliseconds)
{
    const auto self = std::this_thread::get_id();
    std::unique_lock lock(state_);
    if (owner_ == self) {
        ++recursion_;
        return BusWait::Acquired;
    }
    if (!freed_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                         [&] { return !owner_.has_value(); }))
        return BusWait::TimedOut;
    owner_ = self;
    recursion_ = 1;
    const bool abandoned = abandoned_;
    abandoned_ = false;
    return abandoned ? BusWait::Abandoned : BusWait::Acquired;
}

void SimulatedNamedMutex::Release()
{
    std::lock_guard lock(state_);
    if (owner_ != std::this_thread::get_id())
        throw std::logic_error("release of a mutex the thread does not own");
    if (--recursion_ == 0) {
        owner_.reset();
        freed_.notify_one();
    }
}

void SimulatedNamedMutex::AbandonByOwner()
{
    std::lock_guard lock(state_);
    if (owner_ != std::this_thread::get_id())
        throw std::logic_error("abandon of a mutex the thread does not own");
    owner_.reset();
    recursion_ = 0;
    abandoned_ = true;
    freed_.notify_one();
}

bool SimulatedNamedMutex::Owned()
{
    std::lock_guard lock(state_);
    return owner_.has_value();
}

SimulatedMutexHolder::SimulatedMutexHolder(const std::string& name)
    : mutex_(SimulatedNamedMutex::Named(name))
{
    thread_ = std::thread([this] {
        // Waits as long as it takes: the holder stands for a tool that got there first.
        while (mutex_.Wait(1000) == BusWait::TimedOut) {
        }
        std::unique_lock lock(state_);
        holding_ = true;
        changed_.notify_all();
        changed_.wait(lock, [&] { return end_ != End::None; });
        if (end_ == End::Abandon)
            mutex_.AbandonByOwner();
        else
            mutex_.Release();
    });
    std::unique_lock lock(state_);
    changed_.wait(lock, [&] { return holding_; });
}

SimulatedMutexHolder::~SimulatedMutexHolder()
{
    Finish(End::Release);
}

void SimulatedMutexHolder::Release()
{
    Finish(End::Release);
}

void SimulatedMutexHolder::Abandon()
{
    Finish(End::Abandon);
}

void SimulatedMutexHolder::Finish(End end)
{
    {
        std::lock_guard lock(state_);
        if (end_ == End::None)
            end_ = end;
        changed_.notify_all();
    }
    if (thread_.joinable())
        thread_.join();
}

} // namespace kwotarv
