// The simulated machine: a board's hardware and registry built, the driver loaded, started,
// used and removed through the simulated system, and the end-of-run report.
#include <gtest/gtest.h>

#include "hardware/hardware.hpp"
#include "kernel/debug/faults.hpp"
#include "kernel/pool/pool.hpp"
#include "public/kwotarv_public.h"
#include "machine/machine.hpp"
#include "nt/pool.h"
#include "support/sim_fixture.hpp"

namespace {

using sim::machine::Board;
using sim::machine::LoadBoard;
using sim::machine::Machine;

Board SampleBoard(const std::string& name)
{
    return LoadBoard(std::string(KWOTARV_SOURCE_DIR) + "/Boards/" + name);
}

uint32_t Le32(const std::vector<uint8_t>& bytes, size_t offset)
{
    return bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 |
           static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

class MachineTest : public SimTest {};

TEST_F(MachineTest, StartsAnswersAndShutsDownClean)
{
    Machine machine(SampleBoard("nct6776"));
    sim::machine::StartOutcome start = machine.PowerOn();
    ASSERT_TRUE(start.started) << start.diagnosis;
    EXPECT_EQ(start.status, 0u);
    EXPECT_TRUE(machine.DeviceOpen());

    sim::machine::IoctlReply fans = machine.DeviceIoControl(IOCTL_HWM_GET_FANS, {}, 20);
    EXPECT_EQ(fans.status, 0u);
    EXPECT_EQ(fans.information, 20u);
    ASSERT_EQ(fans.output.size(), 20u);
    EXPECT_EQ(Le32(fans.output, 0), 0x1C04u);
    EXPECT_EQ(Le32(fans.output, 4), 0x2305u);
    EXPECT_EQ(Le32(fans.output, 8), 0xFF1Fu);
    EXPECT_EQ(Le32(fans.output, 12), 0u);

    // "VBAT" among the voltage names switched the NCT6776's battery monitoring on.
    sim::hw::SuperIo* chip = sim::hw::Current().FirstSuperIo();
    ASSERT_NE(chip, nullptr);
    EXPECT_EQ(chip->Register(0x005D), 0x01);

    std::vector<std::string> names;
    for (const auto& value : machine.PublishedValues())
        names.push_back(value.name);
    EXPECT_EQ(names, (std::vector<std::string>{"ChipsetType", "ChipDesc", "VoltageList",
                                               "InterfaceName"}));
    EXPECT_NE(machine.ExportRegistry().find("\"ChipsetType\"=dword:00000006"), std::string::npos);

    sim::machine::ShutdownReport report = machine.PowerOff();
    EXPECT_TRUE(report.Clean());
    for (const auto& leftover : report.leftovers)
        ADD_FAILURE() << leftover;
    EXPECT_EQ(report.removeStatus, 0u);
    EXPECT_TRUE(report.unloaded);
    EXPECT_FALSE(machine.DeviceOpen());
    EXPECT_TRUE(machine.PowerOff().Clean()); // the second time does nothing
}

TEST_F(MachineTest, ProcessorWithoutThermalSensorIsNeverAskedAndTheNorthbridgeIs)
{
    Machine machine(SampleBoard("w83627hf"));
    ASSERT_TRUE(machine.PowerOn().started);
    sim::machine::IoctlReply temps = machine.DeviceIoControl(IOCTL_HWM_GET_TEMPERATURES, {}, 12);
    ASSERT_EQ(temps.status, 0u);
    EXPECT_EQ(Le32(temps.output, 4), 458u); // 45.8 degrees from D18F3xA4 = 0x2DE00000
    EXPECT_EQ(Le32(temps.output, 8), 300u); // register 0x27 = 0x1E
    EXPECT_EQ(sim::hw::Current().cpu.MsrReadCount(sim::hw::kMsrThermStatus), 0u);
    EXPECT_EQ(sim::hw::Current().pci.ReadCount(0, 0x18, 3), 1u);
    EXPECT_TRUE(machine.PowerOff().Clean());
}

TEST_F(MachineTest, Nct5523dBatteryMonitoringBitIsInBankThree)
{
    Machine machine(SampleBoard("nct5523d"));
    ASSERT_TRUE(machine.PowerOn().started);
    EXPECT_EQ(sim::hw::Current().FirstSuperIo()->Register(0x0318), 0x01);
    EXPECT_TRUE(machine.PowerOff().Clean());
}

TEST_F(MachineTest, FailedStartIsDiagnosedAndStillCleanedUp)
{
    Board board = SampleBoard("nct6776");
    const std::string from = "\"RegIndex\"=dword:00000008";
    board.registryText.replace(board.registryText.find(from), from.size(),
                               "\"RegIndex\"=dword:00000009");
    Machine machine(board);
    sim::machine::StartOutcome start = machine.PowerOn();
    EXPECT_FALSE(start.started);
    EXPECT_EQ(start.step, "start");
    EXPECT_EQ(start.status, 0xC0000001u);
    EXPECT_NE(start.diagnosis.find("Product\\QIB-1234\\Voltage\\6\\RegIndex: 9 is out of range"),
              std::string::npos)
        << start.diagnosis;
    EXPECT_FALSE(machine.DeviceOpen());
    EXPECT_THROW(machine.DeviceIoControl(IOCTL_HWM_GET_FANS, {}, 20), std::logic_error);
    sim::machine::ShutdownReport report = machine.PowerOff();
    EXPECT_TRUE(report.Clean());
    EXPECT_TRUE(report.unloaded);
}

TEST_F(MachineTest, LeftoverAllocationsAndFaultsAreReported)
{
    Machine machine(SampleBoard("nct6776"));
    ASSERT_TRUE(machine.PowerOn().started);
    ASSERT_NE(ExAllocatePoolWithTag(PagedPool, 24, sim::pool::TagFromText("Leak")), nullptr);
    sim::faults::Report("an example fault");
    sim::machine::ShutdownReport report = machine.PowerOff();
    EXPECT_FALSE(report.Clean());
    ASSERT_EQ(report.leftovers.size(), 1u);
    EXPECT_EQ(report.leftovers[0],
              "pool tag 'Leak': 1 allocation, 24 bytes still allocated after unload");
    ASSERT_EQ(report.faults.size(), 1u);
    EXPECT_EQ(report.faults[0], "an example fault");
    sim::faults::Clear(); // reported on purpose
}

TEST_F(MachineTest, OneMachineAtATime)
{
    Machine first(SampleBoard("nct6776"));
    EXPECT_THROW(Machine second(SampleBoard("nct6776")), std::logic_error);
}

TEST_F(MachineTest, BrokenRegistryFileIsABoardError)
{
    Board board = SampleBoard("nct6776");
    board.registryText = "Windows Registry Editor Version 5.00\n\n[HKEY_NOWHERE\\X]\n";
    board.registrySource = "broken.reg";
    Machine machine(board);
    try {
        machine.PowerOn();
        FAIL() << "a registry file that does not import must not start a machine";
    } catch (const sim::machine::BoardError& error) {
        EXPECT_EQ(std::string(error.what()).rfind("broken.reg: ", 0), 0u) << error.what();
    }
}

} // namespace
