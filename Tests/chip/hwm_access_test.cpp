// Banked register access: the width rule per chip, the exact port sequences of every operation,
// the NCT5523D shared low-order bit, temperatures, writes and the battery-voltage switch.
#include <functional>
#include <thread>
#include <set>
#include <string>

#include "chip_test_support.hpp"

namespace chip_test {
namespace {

using sim::hw::ChipKind;
using sim::hw::SuperIo;

const ChipKind kAllKinds[] = {ChipKind::W83627HF, ChipKind::W83627DHG, ChipKind::NCT6776,
                              ChipKind::NCT5523D};

// The 16-bit registers of each chip, listed one by one.
std::set<USHORT> WordRegisters(ULONG chipType)
{
    std::set<USHORT> words;
    const std::set<USHORT> w83627 = {0x0150, 0x0153, 0x0155, 0x0250, 0x0253, 0x0255};
    switch (chipType) {
    case CHIP_W83627HF:
    case CHIP_W83627DHG:
        return w83627;
    case CHIP_NCT6776:
        words = w83627;
        for (USHORT r = 0x0630; r <= 0x063F; ++r)
            words.insert(r);
        for (USHORT r = 0x0656; r <= 0x065F; ++r)
            words.insert(r);
        words.insert({0x0402, 0x0640, 0x0642, 0x0073, 0x0075, 0x0077});
        return words;
    case CHIP_NCT5523D:
        return {0x0010, 0x0011, 0x0012, 0x0013, 0x0014, 0x0015};
    default:
        return {};
    }
}

class HwmTest : public ChipTest {
  protected:
    // A chip of this kind at base 0x290, with the extension set up as detection leaves it, and
    // every register of the banks in use filled with a distinct pattern.
    SuperIo& Board(ChipKind kind)
    {
        auto config = sim::hw::SuperIoConfig::For(kind);
        config.hwmBase = kBase;
        SuperIo& chip = sim::hw::Current().InstallSuperIo(config);
        for (unsigned bank = 0; bank < 8; ++bank)
            for (unsigned index = 0; index < 0x100; ++index)
                if (index != 0x4E)
                    chip.SetRegister(static_cast<uint16_t>(bank << 8 | index),
                                     static_cast<uint8_t>(index * 7 + bank * 13 + 1));
        ext->ChipType = TypeOf(kind);
        ext->HwmBase = kBase;
        return chip;
    }
    Trace Traced(const std::function<void()>& operation)
    {
        bus.StartTrace();
        operation();
        bus.StopTrace();
        return bus.Trace();
    }
};

TEST_F(HwmTest, WidthRuleOverEveryRegisterNumber)
{
    for (ULONG chipType :
         {static_cast<ULONG>(CHIP_NONE), static_cast<ULONG>(CHIP_W83627DHG),
          static_cast<ULONG>(CHIP_W83627HF), 3u, 5u, static_cast<ULONG>(CHIP_NCT6776),
          static_cast<ULONG>(CHIP_NCT5523D), 8u, 0xFFFFFFFFu}) {
        ext->ChipType = chipType;
        const std::set<USHORT> words = WordRegisters(chipType);
        size_t wide = 0;
        for (unsigned reg = 0; reg <= 0xFFFF; ++reg) {
            const bool expected = words.contains(static_cast<USHORT>(reg));
            const bool actual = HwmIsWordRegister(ext.get(), static_cast<USHORT>(reg)) != FALSE;
            if (actual != expected)
                ADD_FAILURE() << "chip type " << chipType << " register 0x" << std::hex << reg
                              << (expected ? " should be 16-bit" : " should be 8-bit");
            wide += actual;
        }
        EXPECT_EQ(wide, words.size()) << "chip type " << chipType;
    }
    // The rule touches no port.
    EXPECT_EQ(bus.OperationCount(), 0u);
}

TEST_F(HwmTest, SelectBankUsesTheHighByteOnly)
{
    Board(ChipKind::NCT6776);
    EXPECT_EQ(Traced([&] { HwmSelectBank(ext.get(), 0x0356); }), Bank(0x03));
    EXPECT_EQ(Traced([&] { HwmSelectBank(ext.get(), 0x00FF); }), Bank(0x00));
}

TEST_F(HwmTest, ReadRegisterSequencesFollowTheWidthRule)
{
    // Every 16-bit register of every chip, plus 8-bit neighbours and look-alikes in other banks.
    const std::vector<USHORT> probes = {
        0x0020, 0x0027, 0x004F, 0x0050, 0x0073, 0x0074, 0x0075, 0x0077,         0x0078, 0x0010,
        0x0015, 0x0016, 0x0018, 0x0110, 0x0150, 0x0151, 0x0152, 0x0153,         0x0155, 0x0156,
        0x0250, 0x0253, 0x0255, 0x0350, 0x0353, 0x0550, 0x0551, 0x0401,         0x0402, 0x0403,
        0x062F, 0x0630, 0x0638, 0x063F, 0x0640, 0x0641, 0x0642, 0x0643,         0x0650, 0x0655,
        0x0656, 0x065A, 0x065F, 0x0660, 0x0750, 0x0318, 0x005D, 0x0073 | 0x0100};
    for (ChipKind kind : kAllKinds) {
        SCOPED_TRACE(std::string(sim::hw::ChipKindName(kind)));
        Fresh();
        SuperIo& chip = Board(kind);
        const std::set<USHORT> words = WordRegisters(TypeOf(kind));
        for (USHORT reg : probes) {
            SCOPED_TRACE(reg);
            const uint8_t high = chip.Register(reg);
            const uint8_t low =
                chip.Register(static_cast<uint16_t>((reg & 0xFF00) | NextIndex(reg)));
            USHORT value = 0;
            const Trace trace = Traced([&] { value = HwmReadRegister(ext.get(), reg); });
            if (words.contains(reg)) {
                EXPECT_EQ(value, high << 8 | low);
                EXPECT_EQ(trace, Read16(reg, high, low));
            } else {
                EXPECT_EQ(value, high);
                EXPECT_EQ(trace, Read8(reg, high));
            }
            // A single register, whatever the width rule says.
            UCHAR byte = 0;
            EXPECT_EQ(Traced([&] { byte = HwmReadByte(ext.get(), reg); }), Read8(reg, high));
            EXPECT_EQ(byte, high);
        }
    }
}

TEST_F(HwmTest, SixteenBitReadsNamedExamples)
{
    SuperIo& hf = Board(ChipKind::W83627HF);
    hf.SetRegister(0x0150, 0x2A);
    hf.SetRegister(0x0151, 0x80);
    EXPECT_EQ(HwmReadRegister(ext.get(), 0x0150), 0x2A80);
    EXPECT_EQ(hf.HwmReadCount(0x0150), 1u);
    EXPECT_EQ(hf.HwmReadCount(0x0151), 1u);
    EXPECT_EQ(HwmReadRegister(ext.get(), 0x0073), hf.Register(0x0073)); // 8-bit here

    Fresh();
    SuperIo& nct = Board(ChipKind::NCT6776);
    nct.SetWord(0x0073, 0x1234);
    nct.SetWord(0x065A, 0x0BB8);
    EXPECT_EQ(HwmReadRegister(ext.get(), 0x0073), 0x1234);
    EXPECT_EQ(HwmReadRegister(ext.get(), 0x065A), 0x0BB8);
    EXPECT_EQ(HwmReadRegister(ext.get(), 0x0550), nct.Register(0x0550));
    EXPECT_EQ(HwmReadByte(ext.get(), 0x0656), nct.Register(0x0656));
    EXPECT_EQ(nct.HwmReadCount(0x0657), 0u);
}

TEST_F(HwmTest, Nct5523SharedLowOrderBitPerRegister)
{
    SuperIo& chip = Board(ChipKind::NCT5523D);
    // Bit n of register 0x16 is the half degree of register 0x10 + n.
    for (unsigned n = 0; n < 6; ++n) {
        SCOPED_TRACE(n);
        for (unsigned other = 0; other < 6; ++other)
            chip.SetWord(static_cast<uint16_t>(0x0010 + other), other == n ? 0x1980 : 0x1900);
        const USHORT reg = static_cast<USHORT>(0x0010 + n);
        const uint8_t shared = chip.Register(0x0016);
        ASSERT_EQ(shared & 0x3F, 1u << n); // bits 6 and 7 are not part of the mapping
        USHORT value = 0;
        EXPECT_EQ(Traced([&] { value = HwmReadRegisterNct5523(ext.get(), reg); }),
                  ReadShared(reg, 0x19, shared));
        EXPECT_EQ(value, 0x1980);

        // Every other bit set, this one clear: no half degree.
        for (unsigned other = 0; other < 6; ++other)
            chip.SetWord(static_cast<uint16_t>(0x0010 + other), other == n ? 0x2500 : 0x2580);
        EXPECT_EQ(HwmReadRegisterNct5523(ext.get(), reg), 0x2500);
        EXPECT_EQ(HwmReadTemperature(ext.get(), reg), 0x2500);
    }
}

TEST_F(HwmTest, Nct5523ReadOfEightBitRegistersIsThePlainRead)
{
    SuperIo& chip = Board(ChipKind::NCT5523D);
    for (USHORT reg : {0x0018, 0x0016, 0x0110, 0x0318, 0x0000, 0x0030}) {
        SCOPED_TRACE(reg);
        USHORT value = 0;
        EXPECT_EQ(Traced([&] { value = HwmReadRegisterNct5523(ext.get(), reg); }),
                  Read8(reg, chip.Register(reg)));
        EXPECT_EQ(value, chip.Register(reg));
    }
}

TEST_F(HwmTest, TemperaturesInOneCommonForm)
{
    struct Case {
        const char* what;
        ChipKind kind;
        USHORT reg;
        USHORT word; // the register's 16-bit content (high byte only for 8-bit registers)
        SHORT expected;
        bool wide;
    };
    const Case cases[] = {
        {"8-bit 25 degrees", ChipKind::W83627HF, 0x0027, 0x1900, 0x1900, false},
        {"8-bit minus 10", ChipKind::W83627DHG, 0x0027, 0xF600, static_cast<SHORT>(0xF600), false},
        {"8-bit 0x80 is minus 128", ChipKind::NCT6776, 0x0027, 0x8000, static_cast<SHORT>(0x8000),
         false},
        {"8-bit 0x80 on the NCT5523D", ChipKind::NCT5523D, 0x0027, 0x8000,
         static_cast<SHORT>(0x8000), false},
        {"16-bit bank 1", ChipKind::W83627HF, 0x0150, 0x1980, 0x1980, true},
        {"16-bit bank 2 negative", ChipKind::W83627DHG, 0x0250, 0xFF80, static_cast<SHORT>(0xFF80),
         true},
        {"NCT6776 0x0073", ChipKind::NCT6776, 0x0073, 0x2D80, 0x2D80, true},
        {"0x0073 is 8-bit on the W83627HF", ChipKind::W83627HF, 0x0073, 0x2D00, 0x2D00, false},
        {"NCT6776 0x062B is 8-bit", ChipKind::NCT6776, 0x062B, 0x3100, 0x3100, false},
        {"NCT5523D 0x0018 is 8-bit", ChipKind::NCT5523D, 0x0018, 0x2200, 0x2200, false},
        {"NCT5523D 0x0010 with half degree", ChipKind::NCT5523D, 0x0010, 0x1980, 0x1980, true},
        {"NCT5523D 0x0015 negative", ChipKind::NCT5523D, 0x0015, 0xF680, static_cast<SHORT>(0xF680),
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Fresh();
        SuperIo& chip = Board(c.kind);
        if (c.wide)
            chip.SetWord(c.reg, c.word);
        else
            chip.SetRegister(c.reg, static_cast<uint8_t>(c.word >> 8));
        SHORT value = 0;
        const Trace trace = Traced([&] { value = HwmReadTemperature(ext.get(), c.reg); });
        EXPECT_EQ(value, c.expected);
        Trace expected;
        if (!c.wide)
            expected = Read8(c.reg, static_cast<uint8_t>(c.word >> 8));
        else if (c.kind == ChipKind::NCT5523D)
            expected = ReadShared(c.reg, static_cast<uint8_t>(c.word >> 8), chip.Register(0x0016));
        else
            expected = Read16(c.reg, static_cast<uint8_t>(c.word >> 8),
                              static_cast<uint8_t>(c.word & 0xFF));
        EXPECT_EQ(trace, expected);
    }
}

TEST_F(HwmTest, WritesPutTheHighByteFirst)
{
    SuperIo& chip = Board(ChipKind::W83627HF);
    EXPECT_EQ(Traced([&] { HwmWriteRegister(ext.get(), 0x0150, 0x1234); }),
              Write16(0x0150, 0x1234));
    EXPECT_EQ(chip.Register(0x0150), 0x12);
    EXPECT_EQ(chip.Register(0x0151), 0x34);
    using HW = SuperIo::HwmWrite;
    const std::vector<HW> writes = chip.HwmWrites();
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_EQ(writes[1], (HW{0x0150, 0x12}));
    EXPECT_EQ(writes[2], (HW{0x0151, 0x34}));

    const uint8_t neighbour = chip.Register(0x0551);
    EXPECT_EQ(Traced([&] { HwmWriteRegister(ext.get(), 0x0550, 0x1234); }), Write8(0x0550, 0x34));
    EXPECT_EQ(chip.Register(0x0550), 0x34);
    EXPECT_EQ(chip.Register(0x0551), neighbour);

    Fresh();
    Board(ChipKind::NCT6776);
    EXPECT_EQ(Traced([&] { HwmWriteRegister(ext.get(), 0x065F, 0xBEEF); }),
              Write16(0x065F, 0xBEEF));
    EXPECT_EQ(Traced([&] { HwmWriteRegister(ext.get(), 0x005D, 0xBEEF); }), Write8(0x005D, 0xEF));
}

TEST_F(HwmTest, VbatMonitorSwitchedOnPerChip)
{
    // NCT6776: the complete sequence, register 0x005D.
    SuperIo& nct6776 = Board(ChipKind::NCT6776);
    nct6776.SetRegister(0x005D, 0x40);
    EXPECT_EQ(Traced([&] { HwmEnableVbatMonitor(ext.get()); }),
              (Trace{W(kIndex, 0x4E), W(kData, 0x00), W(kIndex, 0x5D), R(kData, 0x40),
                     W(kIndex, 0x4E), W(kData, 0x00), W(kIndex, 0x4E), W(kData, 0x00),
                     W(kIndex, 0x5D), W(kData, 0x41), W(kIndex, 0x4E), W(kData, 0x00)}));
    EXPECT_EQ(nct6776.Register(0x005D), 0x41);
    // Already on: written again, unchanged.
    EXPECT_EQ(Traced([&] { HwmEnableVbatMonitor(ext.get()); }),
              Read8(0x005D, 0x41) + Write8(0x005D, 0x41));

    // NCT5523D: register 0x0318 (bank 3, index 0x18).
    Fresh();
    SuperIo& nct5523 = Board(ChipKind::NCT5523D);
    nct5523.SetRegister(0x0318, 0xA4);
    const uint8_t bank0Twin = nct5523.Register(0x0018);
    EXPECT_EQ(Traced([&] { HwmEnableVbatMonitor(ext.get()); }),
              (Trace{W(kIndex, 0x4E), W(kData, 0x03), W(kIndex, 0x18), R(kData, 0xA4),
                     W(kIndex, 0x4E), W(kData, 0x00), W(kIndex, 0x4E), W(kData, 0x03),
                     W(kIndex, 0x18), W(kData, 0xA5), W(kIndex, 0x4E), W(kData, 0x00)}));
    EXPECT_EQ(nct5523.Register(0x0318), 0xA5);
    EXPECT_EQ(nct5523.Register(0x0018), bank0Twin);

    // The Winbond chips and unknown types: no port operation at all.
    for (ChipKind kind : {ChipKind::W83627HF, ChipKind::W83627DHG}) {
        Fresh();
        Board(kind);
        EXPECT_TRUE(Traced([&] { HwmEnableVbatMonitor(ext.get()); }).empty());
    }
    for (ULONG type : {static_cast<ULONG>(CHIP_NONE), 3u, 0xFFFFFFFFu}) {
        ext->ChipType = type;
        EXPECT_TRUE(Traced([&] { HwmEnableVbatMonitor(ext.get()); }).empty());
    }
}

TEST_F(HwmTest, EveryAccessEndsInBank0AtTheBankSelectRegister)
{
    const std::vector<std::pair<const char*, std::function<void(PDEVICE_EXTENSION)>>> operations = {
        {"ReadByte bank 6", [](PDEVICE_EXTENSION e) { HwmReadByte(e, 0x0656); }},
        {"ReadByte bank 0", [](PDEVICE_EXTENSION e) { HwmReadByte(e, 0x0020); }},
        {"ReadRegister 8-bit", [](PDEVICE_EXTENSION e) { HwmReadRegister(e, 0x0550); }},
        {"ReadRegister 16-bit", [](PDEVICE_EXTENSION e) { HwmReadRegister(e, 0x0250); }},
        {"ReadRegisterNct5523", [](PDEVICE_EXTENSION e) { HwmReadRegisterNct5523(e, 0x0012); }},
        {"ReadTemperature", [](PDEVICE_EXTENSION e) { HwmReadTemperature(e, 0x0150); }},
        {"ReadTemperature bank 0", [](PDEVICE_EXTENSION e) { HwmReadTemperature(e, 0x0027); }},
        {"WriteRegister 8-bit", [](PDEVICE_EXTENSION e) { HwmWriteRegister(e, 0x0318, 0x01); }},
        {"WriteRegister 16-bit", [](PDEVICE_EXTENSION e) { HwmWriteRegister(e, 0x0153, 0x0102); }},
        {"EnableVbatMonitor", [](PDEVICE_EXTENSION e) { HwmEnableVbatMonitor(e); }},
    };
    for (ChipKind kind : kAllKinds) {
        Fresh();
        SuperIo& chip = Board(kind);
        for (const auto& [name, operation] : operations) {
            SCOPED_TRACE(std::string(sim::hw::ChipKindName(kind)) + " " + name);
            const Trace trace = Traced([&] { operation(ext.get()); });
            if (trace.empty())
                continue; // VBAT on the Winbond chips
            ASSERT_GE(trace.size(), 6u);
            EXPECT_EQ(trace[trace.size() - 2], W(kIndex, 0x4E));
            EXPECT_EQ(trace.back(), W(kData, 0x00));
            EXPECT_EQ(trace[0], W(kIndex, 0x4E));
            EXPECT_TRUE(trace.size() == 6 || trace.size() == 8 || trace.size() == 12);
            EXPECT_EQ(chip.CurrentBank(), 0);
            EXPECT_FALSE(chip.SequenceOpen());
        }
    }
}

TEST_F(HwmTest, CallsFromSeveralThreadsInTurnAreNotInterleaved)
{
    SuperIo& chip = Board(ChipKind::NCT6776);
    chip.SetWord(0x0150, 0x1980);
    for (int round = 0; round < 3; ++round) {
        std::thread([&] { EXPECT_EQ(HwmReadRegister(ext.get(), 0x0150), 0x1980); }).join();
        EXPECT_EQ(HwmReadTemperature(ext.get(), 0x0150), 0x1980);
    }
    EXPECT_EQ(chip.ProtocolViolations(), 0u);
}

} // namespace
} // namespace chip_test
