// The processor model (CPUID, MSRs) and PCI configuration space through the HAL routines.
#include <cstring>

#include "hardware/hardware.hpp"
#include "support/sim_fixture.hpp"

#include "kernel.h"

namespace {

class CpuTest : public SimTest {
  protected:
    sim::hw::Cpu& cpu = sim::hw::Current().cpu;

    static std::array<int, 4> Cpuid(int leaf)
    {
        std::array<int, 4> regs{};
        __cpuid(regs.data(), leaf);
        return regs;
    }
};

TEST_F(CpuTest, BootProcessorHasTheDigitalThermalSensor)
{
    auto leaf0 = Cpuid(0);
    EXPECT_EQ(leaf0[0], 0x0B);
    char vendor[13] = {};
    std::memcpy(vendor, &leaf0[1], 4);
    std::memcpy(vendor + 4, &leaf0[3], 4);
    std::memcpy(vendor + 8, &leaf0[2], 4);
    EXPECT_STREQ(vendor, "GenuineIntel");
    EXPECT_EQ(Cpuid(6)[0] & 1, 1);
    EXPECT_EQ(__readmsr(0x19C), 0u);
    EXPECT_EQ(cpu.MsrReadCount(0x19C), 1u);
}

TEST_F(CpuTest, ThermalStatusReadsBackFull64Bits)
{
    cpu.SetThermalStatus(0x0000000188390000ull);
    EXPECT_EQ(__readmsr(0x19C), 0x0000000188390000ull);
    cpu.SetMsr(0x1A2, 0x640000);
    EXPECT_EQ(__readmsr(0x1A2), 0x640000u);
}

TEST_F(CpuTest, MissingMsrIsAFaultAndReadsZero)
{
    struct Case {
        const char* what;
        uint32_t maxLeaf;
        bool sensor;
        uint32_t msr;
    };
    for (const Case& c :
         {Case{"no thermal sensor", 0x0B, false, 0x19C}, Case{"leaf 6 absent", 4, true, 0x19C},
          Case{"unknown MSR", 0x0B, true, 0x1A2}}) {
        sim::ResetAll();
        cpu.SetMaxLeaf(c.maxLeaf);
        cpu.SetDigitalThermalSensor(c.sensor);
        cpu.SetThermalStatus(0x88390000);
        EXPECT_EQ(__readmsr(c.msr), 0u) << c.what;
        ASSERT_EQ(sim::faults::All().size(), 1u) << c.what;
        EXPECT_NE(sim::faults::All()[0].find("RDMSR"), std::string::npos);
        sim::faults::Clear();
    }
}

TEST_F(CpuTest, LeavesAboveTheMaximumAnswerWithTheHighestLeaf)
{
    cpu.SetMaxLeaf(6);
    EXPECT_EQ(Cpuid(7), Cpuid(6));
    cpu.SetMaxLeaf(4);
    EXPECT_EQ(Cpuid(6), Cpuid(4));
    EXPECT_EQ(Cpuid(6)[0] & 1, 0);
    cpu.SetMaxLeaf(0x0B);
    cpu.SetDigitalThermalSensor(false);
    EXPECT_EQ(Cpuid(6)[0] & 1, 0);
    EXPECT_FALSE(cpu.HasMsr(0x19C));
}

class PciTest : public SimTest {
  protected:
    sim::hw::PciBus& pci = sim::hw::Current().pci;
    static constexpr ULONG kNorthbridgeSlot = (3 << 5) | 0x18;
};

TEST_F(PciTest, PresentFunctionTransfersItsBytes)
{
    pci.AddFunction(0, 0x18, 3, 0x1022, 0x1203);
    pci.SetConfigDword(0, 0x18, 3, 0xA4, 0x2D800000);
    ULONG value = 0;
    EXPECT_EQ(HalGetBusDataByOffset(PCIConfiguration, 0, kNorthbridgeSlot, &value, 0xA4, 4), 4u);
    EXPECT_EQ(value, 0x2D800000u);
    ULONG ids = 0;
    EXPECT_EQ(HalGetBusDataByOffset(PCIConfiguration, 0, kNorthbridgeSlot, &ids, 0, 4), 4u);
    EXPECT_EQ(ids, 0x12031022u);
    EXPECT_EQ(pci.ReadCount(0, 0x18, 3), 2u);
}

TEST_F(PciTest, ReadsStopAtTheEndOfConfigurationSpace)
{
    pci.AddFunction(0, 0x18, 3, 0x1022, 0x1203);
    pci.SetConfigDword(0, 0x18, 3, 0xFC, 0x11223344);
    uint8_t buffer[8];
    std::memset(buffer, 0xEE, sizeof buffer);
    EXPECT_EQ(HalGetBusDataByOffset(PCIConfiguration, 0, kNorthbridgeSlot, buffer, 0xFE, 8), 2u);
    EXPECT_EQ(buffer[0], 0x22);
    EXPECT_EQ(buffer[1], 0x11);
    EXPECT_EQ(buffer[2], 0xEE);
    EXPECT_EQ(HalGetBusDataByOffset(PCIConfiguration, 0, kNorthbridgeSlot, buffer, 0x100, 4), 0u);
}

TEST_F(PciTest, AbsentFunctionTransfersNothingExceptTheInvalidVendorId)
{
    ULONG value = 0xA5A5A5A5;
    // The northbridge register of an empty slot: nothing written.
    EXPECT_EQ(HalGetBusDataByOffset(PCIConfiguration, 0, kNorthbridgeSlot, &value, 0xA4, 4), 0u);
    EXPECT_EQ(value, 0xA5A5A5A5u);
    // Another function of a present device is still empty.
    pci.AddFunction(0, 0x18, 0, 0x1022, 0x1200);
    EXPECT_EQ(HalGetBusDataByOffset(PCIConfiguration, 0, kNorthbridgeSlot, &value, 0xA4, 4), 0u);
    EXPECT_EQ(value, 0xA5A5A5A5u);
    // Offset 0 of an empty slot: the invalid vendor ID, two bytes.
    EXPECT_EQ(HalGetBusDataByOffset(PCIConfiguration, 0, kNorthbridgeSlot, &value, 0, 4), 2u);
    EXPECT_EQ(value, 0xA5A5FFFFu);
    uint8_t one = 0x5A;
    EXPECT_EQ(HalGetBusDataByOffset(PCIConfiguration, 0, kNorthbridgeSlot, &one, 0, 1), 0u);
    EXPECT_EQ(one, 0x5A);
}

TEST_F(PciTest, MissingBusAndOtherBusTypesGiveZero)
{
    pci.AddFunction(0, 0x18, 3, 0x1022, 0x1203);
    ULONG value = 0x12345678;
    EXPECT_EQ(HalGetBusDataByOffset(PCIConfiguration, 1, kNorthbridgeSlot, &value, 0, 4), 0u);
    EXPECT_EQ(HalGetBusDataByOffset(Cmos, 0, kNorthbridgeSlot, &value, 0, 4), 0u);
    EXPECT_EQ(value, 0x12345678u);
    pci.SetBusCount(2);
    EXPECT_EQ(HalGetBusDataByOffset(PCIConfiguration, 1, kNorthbridgeSlot, &value, 0, 4), 2u);
    EXPECT_EQ(value & 0xFFFF, 0xFFFFu);
}

} // namespace
