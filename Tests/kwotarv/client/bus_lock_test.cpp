// The ISA-bus mutex around the tool's requests, with the simulator's named mutex held by
// another thread as a second monitoring tool would: free, held past the wait, held and then
// released within it, abandoned; for read, ioctl and the monitor behind serve and the export.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <sstream>
#include <thread>

#include "backends/simulated_bus_mutex.hpp"
#include "client/scripted_device.hpp"
#include "commands/ioctl.hpp"
#include "commands/read.hpp"
#include "kwotarv_public.h"
#include "serve/metrics.hpp"
#include "serve/sensor_monitor.hpp"

namespace {

using namespace kwotarv;
using namespace kwotarvtest;

// Counts the requests that reach the device, from any thread.
class CountingDevice : public Device {
  public:
    explicit CountingDevice(Device& inner) : inner_(inner) {}
    Reply Control(uint32_t code, std::span<const uint8_t> input, uint32_t outputLength) override
    {
        ++requests;
        return inner_.Control(code, input, outputLength);
    }
    std::atomic<size_t> requests{0};

  private:
    Device& inner_;
};

enum class OtherTool { Absent, HoldsForever, ReleasesAfter100Ms, Abandoned };

struct BusCase {
    const char* name;
    OtherTool other;
    uint32_t timeoutMs;
    bool timedOut; // the reading gives up: nothing sent, the timeout error, exit 1
};

void PrintTo(const BusCase& c, std::ostream* out)
{
    *out << c.name;
}

const BusCase kCases[] = {
    {"Free", OtherTool::Absent, 50, false},
    {"HeldPastTheWait", OtherTool::HoldsForever, 50, true},
    {"ReleasedWithinTheWait", OtherTool::ReleasesAfter100Ms, 5000, false},
    {"AbandonedIsTakenOver", OtherTool::Abandoned, 50, false},
};

// The other tool's hold for one case, and what the device had seen when it let go.
class OtherToolScene {
  public:
    OtherToolScene(OtherTool other, CountingDevice& device) : other_(other)
    {
        if (other == OtherTool::Absent)
            return;
        holder_.emplace(kIsaBusMutexName);
        if (other == OtherTool::Abandoned)
            holder_->Abandon();
        if (other == OtherTool::ReleasesAfter100Ms)
            releaser_ = std::thread([this, &device] {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                requestsWhileHeld_ = device.requests.load();
                holder_->Release();
            });
    }
    ~OtherToolScene()
    {
        if (releaser_.joinable())
            releaser_.join();
    }
    // Requests the device received while the other tool held the mutex (after the reading).
    size_t RequestsWhileHeld()
    {
        if (releaser_.joinable())
            releaser_.join();
        return requestsWhileHeld_;
    }

  private:
    OtherTool other_;
    std::optional<SimulatedMutexHolder> holder_;
    std::thread releaser_;
    size_t requestsWhileHeld_ = 0;
};

ScriptedDevice OneVoltage()
{
    ScriptedDevice device;
    device.names[HWM_SELECT_VOLTAGES] = {"VCORE"};
    device.values[HWM_SELECT_VOLTAGES] = {112};
    return device;
}

BusLock IsaBus(uint32_t timeoutMs)
{
    return {&SimulatedNamedMutex::Named(kIsaBusMutexName), timeoutMs};
}

std::string TimeoutMessage(uint32_t timeoutMs)
{
    return "the ISA bus mutex Global\\Access_ISABUS.HTP.Method was not released within " +
           std::to_string(timeoutMs) + " ms";
}

class BusLockTest : public ::testing::TestWithParam<BusCase> {};

TEST_P(BusLockTest, ReadTakesTheMutexAroundItsRequests)
{
    const BusCase& c = GetParam();
    ScriptedDevice scripted = OneVoltage();
    CountingDevice device(scripted);
    OtherToolScene scene(c.other, device);
    ReadOptions options;
    options.bus = IsaBus(c.timeoutMs);
    std::ostringstream out, err;
    const int status = RunRead(device, options, out, err);

    EXPECT_EQ(scene.RequestsWhileHeld(), 0u);
    // Left as found: free, or still the other tool's.
    EXPECT_EQ(SimulatedNamedMutex::Named(kIsaBusMutexName).Owned(),
              c.other == OtherTool::HoldsForever);
    if (c.timedOut) {
        EXPECT_EQ(status, kExitFailure);
        EXPECT_EQ(out.str(), "");
        EXPECT_EQ(device.requests.load(), 0u);
        EXPECT_NE(err.str().find("kwotarv: " + TimeoutMessage(c.timeoutMs)), std::string::npos)
            << err.str();
    } else {
        EXPECT_EQ(status, kExitSuccess) << err.str();
        EXPECT_NE(out.str().find("VCORE"), std::string::npos);
        EXPECT_EQ(err.str(), "");
    }
}

TEST_P(BusLockTest, IoctlTakesTheMutexAroundItsRequest)
{
    const BusCase& c = GetParam();
    ScriptedDevice scripted = OneVoltage();
    CountingDevice device(scripted);
    OtherToolScene scene(c.other, device);
    IoctlOptions options;
    options.request.code = IOCTL_HWM_GET_CHIP_DESC;
    options.request.outputLength = HWM_CHIP_DESC_REPLY_SIZE;
    options.bus = IsaBus(c.timeoutMs);
    std::ostringstream out;
    if (c.timedOut) {
        try {
            RunIoctl(device, options, out);
            ADD_FAILURE() << "the request was sent under another tool's lock";
        } catch (const ToolError& error) {
            EXPECT_EQ(error.ExitCode(), kExitFailure);
            EXPECT_NE(std::string(error.what()).find(TimeoutMessage(c.timeoutMs)),
                      std::string::npos);
        }
        EXPECT_EQ(device.requests.load(), 0u);
    } else {
        EXPECT_EQ(RunIoctl(device, options, out), kExitSuccess);
        EXPECT_EQ(device.requests.load(), 1u);
    }
    EXPECT_EQ(scene.RequestsWhileHeld(), 0u);
    // Left as found: free, or still the other tool's.
    EXPECT_EQ(SimulatedNamedMutex::Named(kIsaBusMutexName).Owned(),
              c.other == OtherTool::HoldsForever);
}

// A back end over the scripted device whose ISA-bus mutex is the simulator's.
class ScriptedBackend : public Backend {
  public:
    explicit ScriptedBackend(Device& device) : device_(device) {}
    Device& Open() override { return device_; }
    std::optional<std::vector<PublishedValue>> PublishedValues() override { return {}; }
    bool Finish(std::ostream&) override { return true; }
    BusMutex* IsaBusMutex() override { return &SimulatedNamedMutex::Named(kIsaBusMutexName); }

  private:
    Device& device_;
};

TEST_P(BusLockTest, MonitorReportsTheTimeoutAsDownAndCountsIt)
{
    const BusCase& c = GetParam();
    ScriptedDevice scripted = OneVoltage();
    CountingDevice device(scripted);
    OtherToolScene scene(c.other, device);
    ScriptedBackend backend(device);
    SensorMonitor monitor(backend, {}, c.timeoutMs);
    const Sample sample = monitor.Read();
    const std::string metrics = MetricsText(sample, monitor.FailedReads());

    EXPECT_EQ(scene.RequestsWhileHeld(), 0u);
    EXPECT_EQ(sample.up, !c.timedOut);
    EXPECT_EQ(sample.busLockTimeouts, c.timedOut ? 1u : 0u);
    EXPECT_NE(metrics.find(std::string("\nkwotarv_up ") + (c.timedOut ? "0" : "1") + "\n"),
              std::string::npos);
    EXPECT_NE(metrics.find(std::string("\nkwotarv_bus_lock_timeouts_total ") +
                           (c.timedOut ? "1" : "0") + "\n"),
              std::string::npos)
        << metrics;
}

INSTANTIATE_TEST_SUITE_P(OtherTools, BusLockTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SimulatedNamedMutex, AnAbandonedMutexIsReportedOnceToItsNextOwner)
{
    SimulatedNamedMutex& mutex = SimulatedNamedMutex::Named("Local\\kwotarv-test-abandon");
    SimulatedMutexHolder holder("Local\\kwotarv-test-abandon");
    EXPECT_EQ(mutex.Wait(10), BusWait::TimedOut);
    holder.Abandon();
    EXPECT_EQ(mutex.Wait(10), BusWait::Abandoned);
    mutex.Release();
    EXPECT_EQ(mutex.Wait(10), BusWait::Acquired);
    EXPECT_EQ(mutex.Wait(10), BusWait::Acquired); // recursive for its owner
    mutex.Release();
    mutex.Release();
    EXPECT_FALSE(mutex.Owned());
    EXPECT_THROW(mutex.Release(), std::logic_error);
}

} // namespace
