// The port bus: open-bus reads, decoding, tracing and the trace text format.
#include <filesystem>
#include <fstream>
#include <sstream>

#include <unistd.h>

#include "hardware/hardware.hpp"
#include "support/sim_fixture.hpp"

#include "kernel.h"

namespace {

using sim::hw::PortAccess;

// A latch at one port: remembers the last byte written, reads it back.
class Latch : public sim::hw::PortDevice {
  public:
    explicit Latch(uint16_t port) : port_(port) {}
    bool Decodes(uint16_t port) const override { return port == port_; }
    uint8_t Read(uint16_t) override { return value_; }
    void Write(uint16_t, uint8_t value) override { value_ = value; }

  private:
    uint16_t port_;
    uint8_t value_ = 0x5A;
};

class PortBusTest : public SimTest {
  protected:
    sim::hw::PortBus& bus = sim::hw::Current().ports;
};

TEST_F(PortBusTest, UnclaimedPortsReadOpenBusAndSwallowWrites)
{
    for (uint16_t port : {0x0000, 0x002E, 0x002F, 0x004E, 0x0295, 0x0296, 0xFFFF}) {
        bus.Write(port, 0x12);
        EXPECT_EQ(bus.Read(port), 0xFF) << "port " << port;
    }
}

TEST_F(PortBusTest, HalPortRoutinesReachTheDevices)
{
    bus.Attach(std::make_shared<Latch>(0x80));
    WRITE_PORT_UCHAR((PUCHAR)(ULONG_PTR)0x80, 0x3C);
    EXPECT_EQ(READ_PORT_UCHAR((PUCHAR)(ULONG_PTR)0x80), 0x3C);
    EXPECT_EQ(READ_PORT_UCHAR((PUCHAR)(ULONG_PTR)0x81), 0xFF);
}

TEST_F(PortBusTest, DetachedDeviceNoLongerAnswers)
{
    auto latch = std::make_shared<Latch>(0x80);
    bus.Attach(latch);
    EXPECT_EQ(bus.Read(0x80), 0x5A);
    bus.Detach(latch.get());
    EXPECT_EQ(bus.Read(0x80), 0xFF);
}

TEST_F(PortBusTest, TwoDevicesOnOnePortAreReported)
{
    bus.Attach(std::make_shared<Latch>(0x80));
    bus.Attach(std::make_shared<Latch>(0x80));
    bus.Read(0x80);
    ASSERT_EQ(sim::faults::All().size(), 1u);
    EXPECT_NE(sim::faults::All()[0].find("0x0080"), std::string::npos);
    sim::faults::Clear();
}

TEST_F(PortBusTest, TraceRecordsOnlyWhileStarted)
{
    bus.Attach(std::make_shared<Latch>(0x80));
    bus.Write(0x80, 0x01);
    bus.StartTrace();
    bus.Write(0x80, 0x02);
    bus.Read(0x80);
    bus.Read(0x81);
    bus.StopTrace();
    bus.Write(0x80, 0x03);

    EXPECT_FALSE(bus.Tracing());
    EXPECT_EQ(bus.Trace(),
              (std::vector<PortAccess>{PortAccess::Write(0x80, 0x02), PortAccess::Read(0x80, 0x02),
                                       PortAccess::Read(0x81, 0xFF)}));
    EXPECT_EQ(bus.OperationCount(), 5u);

    bus.ClearTrace();
    EXPECT_TRUE(bus.Trace().empty());
    bus.StartTrace();
    bus.Read(0x80);
    bus.StartTrace(); // a restart forgets what was recorded
    EXPECT_TRUE(bus.Trace().empty());
}

TEST_F(PortBusTest, TraceTextFormatRoundTrips)
{
    EXPECT_EQ(sim::hw::FormatAccess(PortAccess::Write(0x2E, 0x87)), "W 0x2E 0x87");
    EXPECT_EQ(sim::hw::FormatAccess(PortAccess::Read(0x2F, 0xC3)), "R 0x2F 0xC3");
    EXPECT_EQ(sim::hw::FormatAccess(PortAccess::Read(0x296, 0x05)), "R 0x296 0x05");

    const std::vector<PortAccess> trace = {PortAccess::Write(0x2E, 0x87),
                                           PortAccess::Read(0x2F, 0xC3),
                                           PortAccess::Write(0x0295, 0x4E)};
    EXPECT_EQ(sim::hw::ParseTrace(sim::hw::FormatTrace(trace)), trace);
    EXPECT_EQ(
        sim::hw::ParseTrace("# comment\n\n  W 0x2e 0x87  \r\nR 0x2F 0xc3\n"),
        (std::vector<PortAccess>{PortAccess::Write(0x2E, 0x87), PortAccess::Read(0x2F, 0xC3)}));
    for (const char* bad : {"X 0x2E 0x87", "W 2E 87", "W 0x2E 0x187", "W 0x10000 0x00", "W 0x2E",
                            "W 0x2E 0x87 extra", "R 0xZZ 0x00"})
        EXPECT_FALSE(sim::hw::ParseAccess(bad).has_value()) << bad;
    EXPECT_THROW(sim::hw::ParseTrace("W 0x2E\n"), std::invalid_argument);
}

TEST_F(PortBusTest, TraceGoesToAFileLiveAndOnRequest)
{
    const auto dir = std::filesystem::temp_directory_path();
    const auto live = dir / ("kwo_live_trace_" + std::to_string(::getpid()) + ".txt");
    const auto saved = dir / ("kwo_saved_trace_" + std::to_string(::getpid()) + ".txt");

    bus.StartTrace(live);
    bus.Write(0x2E, 0x87);
    bus.Read(0x2F);
    bus.StopTrace();
    bus.SaveTrace(saved);

    for (const auto& file : {live, saved}) {
        std::ifstream in(file);
        std::stringstream text;
        text << in.rdbuf();
        EXPECT_EQ(text.str(), "W 0x2E 0x87\nR 0x2F 0xFF\n") << file;
        std::filesystem::remove(file);
    }
}

TEST_F(PortBusTest, ResetDetachesEverything)
{
    bus.Attach(std::make_shared<Latch>(0x80));
    bus.StartTrace();
    bus.Read(0x80);
    sim::ResetAll();
    EXPECT_FALSE(bus.Tracing());
    EXPECT_TRUE(bus.Trace().empty());
    EXPECT_EQ(bus.Read(0x80), 0xFF);
    EXPECT_EQ(bus.OperationCount(), 1u);
}

} // namespace
