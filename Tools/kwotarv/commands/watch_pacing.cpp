// Pacing of --watch: the wait between readings, and Ctrl+C ending the loop. The C runtime's
// SIGINT serves both platforms (on Windows the runtime raises it for the console's Ctrl+C).
#include "commands/watch_pacing.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <limits>

#if defined(_WIN32)
#include <windows.h>
#else
#include <thread>
#endif

namespace kwotarv {

namespace {

// Set by the signal handler, RequestStop and read by every thread of serve: a lock-free atomic
// serves all three.
std::atomic<bool> gStop{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void OnInterrupt(int)
{
    gStop = true;
}

void SleepMilliseconds(long long milliseconds)
{
#if defined(_WIN32)
    Sleep(static_cast<DWORD>(milliseconds));
#else
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
#endif
}

} // namespace

void InstallStopHandler()
{
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
}

void RequestStop()
{
    gStop = true;
}

bool StopRequested()
{
    return gStop;
}

void SleepSeconds(double seconds)
{
    // In short slices, so that Ctrl+C ends the wait at once.
    constexpr long long kSlice = 50;
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(seconds));
    while (!StopRequested()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0)
            break;
        SleepMilliseconds(std::min<long long>(left, kSlice));
    }
}

void ForEachReading(std::optional<double> watchSeconds, std::optional<uint64_t> count,
                    const std::function<bool(uint64_t)>& reading)
{
    const uint64_t total = count.value_or(watchSeconds ? std::numeric_limits<uint64_t>::max() : 1);
    for (uint64_t n = 1; n <= total; ++n) {
        if (n > 1 && watchSeconds)
            SleepSeconds(*watchSeconds);
        if (n > 1 && StopRequested())
            break;
        if (!reading(n))
            break;
    }
}

} // namespace kwotarv
