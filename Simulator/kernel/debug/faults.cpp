// Collected fault reports.
#include "kernel/debug/faults.hpp"

#include <cstdio>
#include <mutex>

namespace sim::faults {
namespace {
std::mutex gLock;
std::vector<std::string> gFaults;
} // namespace

void Report(const std::string& what)
{
    std::lock_guard guard(gLock);
    gFaults.push_back(what);
}

std::vector<std::string> All()
{
    std::lock_guard guard(gLock);
    return gFaults;
}

void Clear()
{
    std::lock_guard guard(gLock);
    gFaults.clear();
}

} // namespace sim::faults
