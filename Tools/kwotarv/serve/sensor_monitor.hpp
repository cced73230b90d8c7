// One reading of every channel, taken the way `kwotarv read` takes it (open the device, the
// client's requests, close), with what a long-running reader needs beside it: whether it
// worked, how long it took and the running count of failures. Readings are serialised: two
// callers never interleave their requests on the device.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "backends/backend.hpp"
#include "client/hwm_client.hpp"

namespace kwotarv {

struct Sample {
    int64_t unixMillis = 0;       // when the reading started
    Readings readings;            // groups empty and `errors` set when the device was not there
    bool up = false;              // every request succeeded
    uint64_t busLockTimeouts = 0; // readings so far that could not get the ISA-bus mutex
    double seconds = 0;           // duration of the whole reading
    std::optional<uint32_t> chipsetType; // the ChipsetType value the driver published
};

// The chip of a reading: the one whose code the driver published as ChipsetType, or else the
// one whose description the device gave; nullptr when neither is known.
const ChipRow* SampleChip(const Sample& sample);

class SensorMonitor {
  public:
    // `beforeRead` runs under the reading lock before each reading (the simulator's hot plug);
    // each reading waits up to `busLockTimeoutMs` for the back end's ISA-bus mutex.
    explicit SensorMonitor(Backend& backend, std::function<void()> beforeRead = {},
                           uint32_t busLockTimeoutMs = kDefaultBusLockTimeoutMs);

    // Reads the device now. A usage error (an unusable board description) is thrown; every
    // other failure is in the sample.
    Sample Read();
    // Readings that were not `up`, since the start.
    uint64_t FailedReads() const { return failed_.load(); }

  private:
    Backend& backend_;
    std::function<void()> beforeRead_;
    uint32_t busLockTimeoutMs_;
    uint64_t busLockTimeouts_ = 0; // under mutex_
    std::mutex mutex_;
    std::atomic<uint64_t> failed_{0};
};

// Milliseconds since 1970 (UTC) and the same as "2026-12-07T16:27:05.123Z".
int64_t UnixMillisNow();
std::string IsoTimestamp(int64_t unixMillis);

} // namespace kwotarv
