// Readings for the long-running commands: serialised, timed and counted.
#include "serve/sensor_monitor.hpp"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "client/text.hpp"

namespace kwotarv {

namespace {

std::optional<uint32_t> ChipsetType(Backend& backend)
{
    if (auto values = backend.PublishedValues())
        for (const auto& value : *values)
            if (value.name == "ChipsetType" && value.type == kRegDword && value.data.size() == 4)
                return ReadLe32(value.data, 0);
    return std::nullopt;
}

} // namespace

const ChipRow* SampleChip(const Sample& sample)
{
    if (sample.chipsetType)
        if (const ChipRow* chip = ChipByCode(*sample.chipsetType))
            return chip;
    return sample.readings.description ? ChipByDescription(*sample.readings.description) : nullptr;
}

SensorMonitor::SensorMonitor(Backend& backend, std::function<void()> beforeRead,
                             uint32_t busLockTimeoutMs)
    : backend_(backend), beforeRead_(std::move(beforeRead)), busLockTimeoutMs_(busLockTimeoutMs)
{
}

Sample SensorMonitor::Read()
{
    std::lock_guard lock(mutex_);
    if (beforeRead_)
        beforeRead_();
    Sample sample;
    sample.unixMillis = UnixMillisNow();
    const auto start = std::chrono::steady_clock::now();
    try {
        Device& device = backend_.Open();
        sample.readings = HwmClient(device, {backend_.IsaBusMutex(), busLockTimeoutMs_}).ReadAll();
        if (sample.readings.errors.empty())
            sample.chipsetType = ChipsetType(backend_);
        backend_.Close();
    } catch (const ToolError& error) {
        backend_.Close();
        if (error.ExitCode() == kExitUsage)
            throw;
        sample.readings.errors.push_back(error.what());
    }
    sample.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    sample.up = sample.readings.errors.empty();
    busLockTimeouts_ += sample.readings.busLockTimedOut;
    sample.busLockTimeouts = busLockTimeouts_;
    if (!sample.up)
        ++failed_;
    return sample;
}

int64_t UnixMillisNow()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string IsoTimestamp(int64_t unixMillis)
{
    const std::time_t seconds = static_cast<std::time_t>(unixMillis / 1000);
    std::tm utc{};
#if defined(_WIN32)
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(unixMillis % 1000));
    return text;
}

} // namespace kwotarv
