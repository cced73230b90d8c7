// The Super I/O model: configuration keys, configuration registers, the banked hardware monitor,
// the NCT5523D shared low-order register and the protocol checks for interleaved accesses.
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "hardware/hardware.hpp"
#include "support/sim_fixture.hpp"

namespace {

using sim::hw::ChipKind;
using sim::hw::SuperIo;
using sim::hw::SuperIoConfig;

class SuperIoTest : public SimTest {
  protected:
    sim::hw::PortBus& bus = sim::hw::Current().ports;

    SuperIo& Install(ChipKind kind, uint16_t configPort = 0x2E, uint16_t base = 0x0290)
    {
        SuperIoConfig config = SuperIoConfig::For(kind);
        config.configPort = configPort;
        config.hwmBase = base;
        return sim::hw::Current().InstallSuperIo(config);
    }
    void Enter(uint16_t index = 0x2E)
    {
        bus.Write(index, 0x87);
        bus.Write(index, 0x87);
    }
    uint8_t ReadConfig(uint8_t reg, uint16_t index = 0x2E)
    {
        bus.Write(index, reg);
        return bus.Read(index + 1);
    }
    void WriteConfig(uint8_t reg, uint8_t value, uint16_t index = 0x2E)
    {
        bus.Write(index, reg);
        bus.Write(index + 1, value);
    }
    // One complete banked access the way the chip expects it.
    uint8_t HwmRead(uint16_t reg, uint16_t base = 0x0290)
    {
        bus.Write(base + 5, 0x4E);
        bus.Write(base + 6, reg >> 8);
        bus.Write(base + 5, reg & 0xFF);
        uint8_t value = bus.Read(base + 6);
        bus.Write(base + 5, 0x4E);
        bus.Write(base + 6, 0x00);
        return value;
    }
    void HwmWrite(uint16_t reg, uint8_t value, uint16_t base = 0x0290)
    {
        bus.Write(base + 5, 0x4E);
        bus.Write(base + 6, reg >> 8);
        bus.Write(base + 5, reg & 0xFF);
        bus.Write(base + 6, value);
        bus.Write(base + 5, 0x4E);
        bus.Write(base + 6, 0x00);
    }
};

TEST_F(SuperIoTest, UsualIdentityOfEachKind)
{
    struct Case {
        ChipKind kind;
        uint8_t id;
        const char* name;
    };
    for (const Case& c :
         {Case{ChipKind::W83627HF, 0x52, "W83627HF"}, Case{ChipKind::W83627DHG, 0xA0, "W83627DHG"},
          Case{ChipKind::NCT6776, 0xC3, "NCT6776"}, Case{ChipKind::NCT5523D, 0xC4, "NCT5523D"}}) {
        sim::ResetAll();
        Install(c.kind);
        Enter();
        EXPECT_EQ(ReadConfig(0x20), c.id) << c.name;
        EXPECT_EQ(sim::hw::ChipKindName(c.kind), c.name);
        EXPECT_EQ(sim::hw::ParseChipKind(c.name), c.kind);
    }
    EXPECT_EQ(sim::hw::ParseChipKind("nct6776"), ChipKind::NCT6776);
    EXPECT_EQ(sim::hw::ParseChipKind("none"), ChipKind::None);
    EXPECT_FALSE(sim::hw::ParseChipKind("W83627").has_value());
}

TEST_F(SuperIoTest, ConfigModeNeedsTheEnterKeyTwiceInARow)
{
    SuperIo& chip = Install(ChipKind::NCT6776);
    struct Case {
        const char* what;
        std::vector<sim::hw::PortAccess> keys;
        bool entered;
    };
    using sim::hw::PortAccess;
    const Case cases[] = {
        {"one key", {PortAccess::Write(0x2E, 0x87)}, false},
        {"two keys", {PortAccess::Write(0x2E, 0x87), PortAccess::Write(0x2E, 0x87)}, true},
        {"other byte between",
         {PortAccess::Write(0x2E, 0x87), PortAccess::Write(0x2E, 0x20),
          PortAccess::Write(0x2E, 0x87)},
         false},
        {"data read between",
         {PortAccess::Write(0x2E, 0x87), PortAccess::Read(0x2F, 0), PortAccess::Write(0x2E, 0x87)},
         false},
        {"key on the data port",
         {PortAccess::Write(0x2E, 0x87), PortAccess::Write(0x2F, 0x87)},
         false},
        {"wrong key", {PortAccess::Write(0x2E, 0x55), PortAccess::Write(0x2E, 0x55)}, false},
        {"three keys",
         {PortAccess::Write(0x2E, 0x87), PortAccess::Write(0x2E, 0x87),
          PortAccess::Write(0x2E, 0x87)},
         true},
    };
    for (const Case& c : cases) {
        bus.Write(0x2E, 0xAA); // start outside configuration mode
        for (const auto& op : c.keys) {
            if (op.IsWrite())
                bus.Write(op.port, op.value);
            else
                bus.Read(op.port);
        }
        EXPECT_EQ(chip.InConfigMode(), c.entered) << c.what;
        EXPECT_EQ(ReadConfig(0x20), c.entered ? 0xC3 : 0xFF) << c.what;
    }
}

TEST_F(SuperIoTest, ExitKeyAndConfigControlLeaveConfigMode)
{
    SuperIo& chip = Install(ChipKind::NCT6776);
    Enter();
    bus.Write(0x2E, 0xAA);
    EXPECT_FALSE(chip.InConfigMode());
    EXPECT_EQ(ReadConfig(0x20), 0xFF);

    Enter();
    WriteConfig(0x02, 0x02); // back to wait-for-key
    EXPECT_FALSE(chip.InConfigMode());
}

TEST_F(SuperIoTest, DataPortIsSilentOutsideConfigMode)
{
    SuperIo& chip = Install(ChipKind::NCT6776);
    // Without the key: select the HWM device and clear its activation; nothing may happen.
    WriteConfig(0x07, 0x0B);
    WriteConfig(0x30, 0x00);
    WriteConfig(0x60, 0x00);
    EXPECT_EQ(ReadConfig(0x30), 0xFF);
    EXPECT_EQ(bus.Read(0x2E), 0xFF);
    EXPECT_TRUE(chip.ActivationWrites().empty());
    EXPECT_TRUE(chip.ConfigWrites().empty());
    EXPECT_EQ(chip.ConfigRegister(0x0B, 0x30), 0x01);
    EXPECT_EQ(chip.HwmBase(), 0x0290);
}

TEST_F(SuperIoTest, LogicalDeviceRegistersAndActivationRecords)
{
    SuperIoConfig config = SuperIoConfig::For(ChipKind::W83627DHG);
    config.hwmBase = 0x0A10;
    config.activation = 0xA4;
    SuperIo& chip = sim::hw::Current().InstallSuperIo(config);

    Enter();
    WriteConfig(0x07, 0x0B);
    EXPECT_EQ(ReadConfig(0x07), 0x0B);
    EXPECT_EQ(ReadConfig(0x60), 0x0A);
    EXPECT_EQ(ReadConfig(0x61), 0x10);
    EXPECT_EQ(ReadConfig(0x30), 0xA4);
    WriteConfig(0x30, 0xA5);
    WriteConfig(0x20, 0x00); // read-only
    EXPECT_EQ(ReadConfig(0x20), 0xA0);
    // Another logical device has registers of its own.
    WriteConfig(0x07, 0x05);
    EXPECT_EQ(ReadConfig(0x30), 0x00);
    WriteConfig(0x30, 0x01);

    EXPECT_EQ(chip.ActivationWrites(), std::vector<uint8_t>{0xA5});
    using W = SuperIo::ConfigWrite;
    EXPECT_EQ(chip.ConfigWrites(),
              (std::vector<W>{W{0xFF, 0x07, 0x0B}, W{0x0B, 0x30, 0xA5}, W{0xFF, 0x20, 0x00},
                              W{0xFF, 0x07, 0x05}, W{0x05, 0x30, 0x01}}));
    EXPECT_EQ(chip.ConfigRegister(0x0B, 0x30), 0xA5);
}

TEST_F(SuperIoTest, SecondPortPairAndTheFirstStaysSilent)
{
    Install(ChipKind::NCT5523D, 0x4E);
    Enter(0x2E);
    EXPECT_EQ(ReadConfig(0x20, 0x2E), 0xFF);
    Enter(0x4E);
    EXPECT_EQ(ReadConfig(0x20, 0x4E), 0xC4);
}

TEST_F(SuperIoTest, HwmPortsFollowBaseAndActivation)
{
    SuperIo& chip = Install(ChipKind::NCT6776);
    chip.SetRegister(0x0020, 0x77);
    EXPECT_EQ(HwmRead(0x0020), 0x77);
    EXPECT_EQ(bus.Read(0x0290), 0xFF); // only base+5 and base+6 answer
    EXPECT_EQ(bus.Read(0x0297), 0xFF);

    // Deactivated: the ports go quiet.
    Enter();
    WriteConfig(0x07, 0x0B);
    WriteConfig(0x30, 0x00);
    EXPECT_FALSE(chip.HwmActive());
    EXPECT_EQ(bus.Read(0x0296), 0xFF);

    // Moved to 0x0A00 and active again.
    WriteConfig(0x60, 0x0A);
    WriteConfig(0x61, 0x00);
    WriteConfig(0x30, 0x01);
    bus.Write(0x2E, 0xAA);
    EXPECT_EQ(chip.HwmBase(), 0x0A00);
    EXPECT_EQ(HwmRead(0x0020, 0x0A00), 0x77);
    EXPECT_EQ(bus.Read(0x0296), 0xFF);

    // Base 0 decodes nothing.
    sim::ResetAll();
    SuperIo& zero = Install(ChipKind::NCT6776, 0x2E, 0x0000);
    EXPECT_FALSE(zero.Decodes(0x0005));
    EXPECT_EQ(bus.Read(0x0006), 0xFF);
}

TEST_F(SuperIoTest, BankQualifiedRegisterFile)
{
    SuperIo& chip = Install(ChipKind::NCT6776);
    chip.SetRegister(0x0050, 0x10);
    chip.SetRegister(0x0150, 0x11);
    chip.SetRegister(0x0650, 0x16);
    EXPECT_EQ(HwmRead(0x0050), 0x10);
    EXPECT_EQ(HwmRead(0x0150), 0x11);
    EXPECT_EQ(HwmRead(0x0650), 0x16);
    HwmWrite(0x0318, 0xA5);
    EXPECT_EQ(chip.Register(0x0318), 0xA5);
    EXPECT_EQ(chip.Register(0x0018), 0x00);

    // The bank-select register is 0x4E in every bank and reads back the bank.
    bus.Write(0x295, 0x4E);
    bus.Write(0x296, 0x03);
    EXPECT_EQ(chip.CurrentBank(), 0x03);
    bus.Write(0x295, 0x4E);
    EXPECT_EQ(bus.Read(0x296), 0x03);
    bus.Write(0x296, 0x00);

    EXPECT_EQ(chip.HwmReadCount(0x0150), 1u);
    EXPECT_EQ(chip.HwmWriteCount(0x0318), 1u);
    EXPECT_EQ(chip.HwmWrites().back(), (SuperIo::HwmWrite{0x004E, 0x00}));
    EXPECT_FALSE(chip.SequenceOpen());

    chip.SetWord(0x0150, 0x1980);
    EXPECT_EQ(chip.Register(0x0150), 0x19);
    EXPECT_EQ(chip.Register(0x0151), 0x80);
    EXPECT_EQ(chip.Word(0x0150), 0x1980);
    chip.SetWord(0x01FF, 0xABCD); // the next register wraps within the bank
    EXPECT_EQ(chip.Register(0x0100), 0xCD);
}

TEST_F(SuperIoTest, Nct5523SharedLowOrderRegisterMapping)
{
    SuperIo& chip = Install(ChipKind::NCT5523D);
    // Register 0x10 + n keeps bit 7 of its low byte in bit n of register 0x16.
    for (unsigned n = 0; n < 6; ++n) {
        for (unsigned other = 0; other < 6; ++other)
            chip.SetWord(0x0010 + other, other == n ? 0x2080 : 0x207F);
        EXPECT_EQ(chip.Register(0x0016), 1u << n) << "register 0x1" << n;
        EXPECT_EQ(HwmRead(0x0016), 1u << n);
        EXPECT_EQ(chip.Word(0x0010 + n), 0x2080);
        EXPECT_EQ(HwmRead(0x0010 + n), 0x20);
    }
    // Writing register 0x16 sets the low bits the other way round.
    HwmWrite(0x0016, 0x25);
    EXPECT_EQ(chip.Word(0x0010), 0x2080);
    EXPECT_EQ(chip.Word(0x0011), 0x2000);
    EXPECT_EQ(chip.Word(0x0012), 0x2080);
    EXPECT_EQ(chip.Word(0x0015), 0x2080);
    // Register 0x16 is shared only in bank 0, and only on this chip.
    chip.SetRegister(0x0116, 0x42);
    EXPECT_EQ(HwmRead(0x0116), 0x42);

    sim::ResetAll();
    SuperIo& other = Install(ChipKind::NCT6776);
    other.SetWord(0x0010, 0x2080);
    EXPECT_EQ(other.Register(0x0011), 0x80);
    EXPECT_EQ(other.Register(0x0016), 0x00);
}

TEST_F(SuperIoTest, InterleavedAccessFromAnotherThreadIsReported)
{
    SuperIo& chip = Install(ChipKind::NCT6776);
    // Another thread selects bank 1, register 0x50, and stops there.
    std::thread([this] {
        bus.Write(0x295, 0x4E);
        bus.Write(0x296, 0x01);
        bus.Write(0x295, 0x50);
    }).join();
    EXPECT_TRUE(chip.SequenceOpen());
    EXPECT_TRUE(sim::faults::All().empty());

    // This thread reads the data port: its register was selected elsewhere, in an open sequence.
    bus.Read(0x296);
    EXPECT_EQ(chip.ProtocolViolations(), 2u);
    ASSERT_EQ(sim::faults::All().size(), 2u);
    EXPECT_NE(sim::faults::All()[0].find("had not returned to bank 0"), std::string::npos);
    EXPECT_NE(sim::faults::All()[1].find("selected by thread"), std::string::npos);
    sim::faults::Clear();
}

TEST_F(SuperIoTest, DataAccessAfterAnotherThreadsClosedSequenceIsReported)
{
    SuperIo& chip = Install(ChipKind::NCT6776);
    std::thread([this] { HwmRead(0x0020); }).join();
    EXPECT_FALSE(chip.SequenceOpen());
    // The index is still at 0x4E as the other thread left it; using it without selecting is a
    // violation, although the other thread's access was complete.
    bus.Write(0x296, 0x02);
    EXPECT_EQ(chip.ProtocolViolations(), 1u);
    sim::faults::Clear();
}

TEST_F(SuperIoTest, CompleteAccessesFromSeveralThreadsInTurnAreClean)
{
    SuperIo& chip = Install(ChipKind::NCT6776);
    chip.SetRegister(0x0150, 0x42);
    for (int i = 0; i < 4; ++i) {
        std::thread([this] { EXPECT_EQ(HwmRead(0x0150), 0x42); }).join();
        EXPECT_EQ(HwmRead(0x0150), 0x42);
    }
    EXPECT_EQ(chip.ProtocolViolations(), 0u);
    EXPECT_TRUE(sim::faults::All().empty());
}

// Two threads running complete accesses at the same time, with and without serialisation.
// Unserialised they interleave sooner or later, and the model must notice; the loop runs until
// it does (or gives up after a generous time).
TEST_F(SuperIoTest, ConcurrentAccessesAreCaughtUnlessSerialised)
{
    SuperIo& chip = Install(ChipKind::NCT6776);
    auto run = [&](std::mutex* serialise, std::chrono::milliseconds budget) {
        std::atomic<bool> stop{false};
        const auto deadline = std::chrono::steady_clock::now() + budget;
        auto worker = [&] {
            while (!stop && std::chrono::steady_clock::now() < deadline) {
                if (serialise) {
                    std::lock_guard lock(*serialise);
                    HwmRead(0x0150);
                } else {
                    HwmRead(0x0150);
                }
                if (chip.ProtocolViolations() > 0)
                    stop = true;
            }
        };
        std::thread other(worker);
        worker();
        other.join();
    };

    std::mutex lock;
    run(&lock, std::chrono::milliseconds(200));
    EXPECT_EQ(chip.ProtocolViolations(), 0u);
    EXPECT_TRUE(sim::faults::All().empty());

    run(nullptr, std::chrono::seconds(20));
    EXPECT_GT(chip.ProtocolViolations(), 0u);
    EXPECT_FALSE(sim::faults::All().empty());
    sim::faults::Clear();
}

TEST_F(SuperIoTest, NoneInstallsNothingAndReplacesAChip)
{
    auto& hw = sim::hw::Current();
    Install(ChipKind::NCT6776);
    EXPECT_NE(hw.SuperIoAt(0x2E), nullptr);
    hw.InstallSuperIo(SuperIoConfig::For(ChipKind::None));
    EXPECT_EQ(hw.SuperIoAt(0x2E), nullptr);
    EXPECT_EQ(hw.FirstSuperIo(), nullptr);
    Enter();
    EXPECT_EQ(ReadConfig(0x20), 0xFF);
}

TEST_F(SuperIoTest, TwoChipsAtTheTwoPortPairs)
{
    auto& hw = sim::hw::Current();
    Install(ChipKind::W83627HF, 0x2E, 0x0290);
    Install(ChipKind::NCT5523D, 0x4E, 0x0A00);
    EXPECT_EQ(hw.SuperIos().size(), 2u);
    Enter(0x2E);
    EXPECT_EQ(ReadConfig(0x20, 0x2E), 0x52);
    Enter(0x4E);
    EXPECT_EQ(ReadConfig(0x20, 0x4E), 0xC4);
    EXPECT_EQ(hw.SuperIoAt(0x4E)->Kind(), ChipKind::NCT5523D);
}

TEST_F(SuperIoTest, InitialRegistersFromTheConfiguration)
{
    SuperIoConfig config = SuperIoConfig::For(ChipKind::NCT5523D);
    config.registers = {{0x0318, 0xA4}, {0x0010, 0x19}, {0x0016, 0x01}};
    SuperIo& chip = sim::hw::Current().InstallSuperIo(config);
    EXPECT_EQ(chip.Register(0x0318), 0xA4);
    EXPECT_EQ(chip.Word(0x0010), 0x1980);
}

} // namespace
