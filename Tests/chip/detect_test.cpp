// Chip detection: the exact configuration-port sequences, the fallback to 0x4E/0x4F, the chip
// profile per ID byte, the activation write, and the published "ChipsetType" value.
#include <cstring>
#include <string>

#include "chip_test_support.hpp"
#include "kernel/registry/registry.hpp"

namespace chip_test {
namespace {

using sim::hw::ChipKind;
using sim::hw::SuperIo;
using sim::hw::SuperIoConfig;

const std::string kServiceKey = "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KwoTarv";

class DetectTest : public ChipTest {
  protected:
    SuperIo& Install(ChipKind kind, uint16_t configPort = 0x2E, uint16_t base = 0x0290,
                     uint8_t activation = 0x01)
    {
        SuperIoConfig config = SuperIoConfig::For(kind);
        config.configPort = configPort;
        config.hwmBase = base;
        config.activation = activation;
        return sim::hw::Current().InstallSuperIo(config);
    }
    SuperIo& InstallId(uint8_t id, ChipKind kind, uint16_t configPort = 0x2E,
                       uint16_t base = 0x0290)
    {
        SuperIoConfig config = SuperIoConfig::For(kind);
        config.id = id;
        config.configPort = configPort;
        config.hwmBase = base;
        return sim::hw::Current().InstallSuperIo(config);
    }
    BOOLEAN Detect()
    {
        bus.StartTrace();
        BOOLEAN found = DetectChip(ext.get());
        bus.StopTrace();
        return found;
    }
    std::optional<uint32_t> PublishedChipType()
    {
        return sim::registry::GetDword(kServiceKey, "ChipsetType");
    }
};

struct ProfileCase {
    const char* name;
    uint8_t id;
    ChipKind kind;
    uint16_t port;  // where the chip answers
    bool otherAt2E; // an unsupported chip answers at 0x2E
    ULONG chipType;
    ULONG voltageLsb;
    const USHORT* voltageRegs;
    ULONG voltageCount;
    const USHORT* tempRegs;
    ULONG tempCount;
    const USHORT* fanRegs;
    ULONG fanCount;
};

const ProfileCase kProfiles[] = {
    {"W83627HF", 0x52, ChipKind::W83627HF, 0x2E, false, CHIP_W83627HF, 16, HwmVoltageRegs, 9,
     HwmTempRegs, 9, nullptr, 0},
    {"W83627DHG-A0", 0xA0, ChipKind::W83627DHG, 0x2E, false, CHIP_W83627DHG, 8, HwmVoltageRegs, 9,
     HwmTempRegs, 9, nullptr, 0},
    {"W83627DHG-B0", 0xB0, ChipKind::W83627DHG, 0x2E, false, CHIP_W83627DHG, 8, HwmVoltageRegs, 9,
     HwmTempRegs, 9, nullptr, 0},
    {"NCT6776", 0xC3, ChipKind::NCT6776, 0x2E, false, CHIP_NCT6776, 8, HwmVoltageRegs, 9,
     HwmTempRegs, 9, Nct6776FanRegs, 5},
    {"NCT5523D", 0xC4, ChipKind::NCT5523D, 0x2E, false, CHIP_NCT5523D, 8, Nct5523VoltageRegs, 8,
     Nct5523TempRegs, 9, Nct5523FanRegs, 3},
    {"NCT5523D at 0x4E, nothing at 0x2E", 0xC4, ChipKind::NCT5523D, 0x4E, false, CHIP_NCT5523D, 8,
     Nct5523VoltageRegs, 8, Nct5523TempRegs, 9, Nct5523FanRegs, 3},
    {"W83627HF at 0x4E, unsupported chip at 0x2E", 0x52, ChipKind::W83627HF, 0x4E, true,
     CHIP_W83627HF, 16, HwmVoltageRegs, 9, HwmTempRegs, 9, nullptr, 0},
};

TEST_F(DetectTest, ProfilePerIdByteWithExactPortTrace)
{
    for (const ProfileCase& c : kProfiles) {
        SCOPED_TRACE(c.name);
        Fresh();
        SuperIo& chip = InstallId(c.id, c.kind, c.port, 0x0290);
        if (c.otherAt2E)
            InstallId(0x85, ChipKind::W83627DHG, 0x2E, 0x0A00);

        ASSERT_TRUE(Detect());

        EXPECT_EQ(ext->ChipType, c.chipType);
        EXPECT_EQ(ext->VoltageLsb, c.voltageLsb);
        EXPECT_EQ(ext->HwmBase, 0x0290u);
        EXPECT_EQ(ext->VoltageRegs, c.voltageRegs);
        EXPECT_EQ(ext->VoltageRegCount, c.voltageCount);
        EXPECT_EQ(ext->TempRegs, c.tempRegs);
        EXPECT_EQ(ext->TempRegCount, c.tempCount);
        EXPECT_EQ(ext->FanRegs, c.fanRegs);
        EXPECT_EQ(ext->FanRegCount, c.fanCount);
        EXPECT_EQ(Globals.SioIndexPort, c.port);
        EXPECT_EQ(Globals.SioDataPort, c.port + 1u);

        Trace expected;
        if (c.port == 0x4E)
            expected = Identify(0x2E, c.otherAt2E ? 0x85 : 0xFF);
        expected = expected + Identify(c.port, c.id) + ReadBase(c.port, 0x02, 0x90) +
                   Activate(c.port, 0x01);
        EXPECT_EQ(bus.Trace(), expected);

        // Only register 0x07 (twice) and the activation register are written; the hardware
        // monitor is not touched.
        using CW = SuperIo::ConfigWrite;
        EXPECT_EQ(chip.ConfigWrites(), (std::vector<CW>{CW{0xFF, 0x07, 0x0B}, CW{0xFF, 0x07, 0x0B},
                                                        CW{0x0B, 0x30, 0x01}}));
        EXPECT_EQ(chip.HwmOperationCount(), 0u);
        EXPECT_FALSE(chip.InConfigMode());
        EXPECT_EQ(PublishedChipType(), c.chipType);
    }
}

// A channel's RegIndex names an entry of the chip's own table, in that table's order.
TEST_F(DetectTest, RegIndexNamesTheEntryOfTheChipsTable)
{
    // RegIndex 6 on the NCT5523D names voltage register 0x0001, not 0x0006.
    Install(ChipKind::NCT5523D);
    ASSERT_TRUE(Detect());
    EXPECT_EQ(ext->VoltageRegs[6], 0x0001);
}

TEST_F(DetectTest, NoSupportedIdAtEitherPairChangesNothing)
{
    struct Case {
        const char* name;
        int idAt2E; // -1: nothing answers
        int idAt4E;
    };
    for (const Case& c :
         {Case{"no chip at all", -1, -1}, Case{"unsupported at 0x2E", 0x85, -1},
          Case{"unsupported at both", 0x85, 0xC1}, Case{"unsupported at 0x4E only", -1, 0x8F}}) {
        SCOPED_TRACE(c.name);
        Fresh();
        if (c.idAt2E >= 0)
            InstallId(static_cast<uint8_t>(c.idAt2E), ChipKind::NCT6776, 0x2E, 0x0290);
        if (c.idAt4E >= 0)
            InstallId(static_cast<uint8_t>(c.idAt4E), ChipKind::NCT6776, 0x4E, 0x0A00);
        std::vector<uint8_t> before(sizeof(DEVICE_EXTENSION));
        std::memcpy(before.data(), ext.get(), before.size());

        EXPECT_FALSE(Detect());

        EXPECT_EQ(std::memcmp(before.data(), ext.get(), before.size()), 0);
        EXPECT_EQ(ext->ChipType, CHIP_NONE);
        EXPECT_EQ(bus.Trace(), Identify(0x2E, c.idAt2E >= 0 ? c.idAt2E : 0xFF) +
                                   Identify(0x4E, c.idAt4E >= 0 ? c.idAt4E : 0xFF));
        EXPECT_EQ(Globals.SioIndexPort, 0x4Eu);
        EXPECT_EQ(Globals.SioDataPort, 0x4Fu);
        EXPECT_FALSE(PublishedChipType().has_value());
    }
}

TEST_F(DetectTest, PortPairStaysAtTheSecondPairOnceFallenBack)
{
    Install(ChipKind::NCT5523D, 0x4E);
    ASSERT_TRUE(Detect());
    ASSERT_EQ(Globals.SioIndexPort, 0x4Eu);

    // A later detection begins at 0x4E/0x4F and never goes back to 0x2E.
    ASSERT_TRUE(Detect());
    EXPECT_EQ(bus.Trace(),
              Identify(0x4E, 0xC4) + ReadBase(0x4E, 0x02, 0x90) + Activate(0x4E, 0x01));

    // Even when a supported chip appears at 0x2E and the one at 0x4E goes away: the second
    // pair is tried, then tried again as the fallback, and detection fails.
    sim::hw::Current().RemoveSuperIos();
    Install(ChipKind::NCT6776, 0x2E);
    EXPECT_FALSE(Detect());
    EXPECT_EQ(bus.Trace(), Identify(0x4E, 0xFF) + Identify(0x4E, 0xFF));
    EXPECT_EQ(Globals.SioIndexPort, 0x4Eu);
}

TEST_F(DetectTest, FirstPairKeptWhenTheChipAnswersThere)
{
    Install(ChipKind::NCT6776, 0x2E);
    ASSERT_TRUE(Detect());
    ASSERT_TRUE(Detect());
    EXPECT_EQ(Globals.SioIndexPort, 0x2Eu);
    EXPECT_EQ(Globals.SioDataPort, 0x2Fu);
    EXPECT_EQ(bus.Trace().front(), W(0x2E, 0x87));
}

TEST_F(DetectTest, HwmBaseFromRegisters0x60And0x61)
{
    SuperIo& chip = Install(ChipKind::NCT6776, 0x2E, 0x0290);
    chip.SetRegister(0x0020, 0x5C);
    ASSERT_TRUE(Detect());
    EXPECT_EQ(ext->HwmBase, 0x0290u);

    // The hardware monitor is then reached at 0x295/0x296.
    bus.StartTrace();
    EXPECT_EQ(HwmReadByte(ext.get(), 0x0020), 0x5C);
    EXPECT_EQ(bus.Trace(), Read8(0x0020, 0x5C));

    Fresh();
    Install(ChipKind::W83627HF, 0x2E, 0x0A35);
    ASSERT_TRUE(Detect());
    EXPECT_EQ(ext->HwmBase, 0x0A35u);
}

TEST_F(DetectTest, ZeroBaseFailsAfterPublishingAndLeavesTheTables)
{
    SuperIo& chip = Install(ChipKind::NCT6776, 0x2E, 0x0000);
    // Earlier values of the table fields must survive.
    ext->VoltageRegs = Nct5523FanRegs;
    ext->VoltageRegCount = 77;
    ext->TempRegs = Nct5523FanRegs;
    ext->TempRegCount = 78;
    ext->FanRegs = Nct5523FanRegs;
    ext->FanRegCount = 79;
    ext->HwmBase = 0x1234;

    EXPECT_FALSE(Detect());

    EXPECT_EQ(ext->ChipType, static_cast<ULONG>(CHIP_NCT6776));
    EXPECT_EQ(ext->VoltageLsb, 8u);
    EXPECT_EQ(ext->HwmBase, 0u);
    EXPECT_EQ(ext->VoltageRegs, Nct5523FanRegs);
    EXPECT_EQ(ext->VoltageRegCount, 77u);
    EXPECT_EQ(ext->TempRegs, Nct5523FanRegs);
    EXPECT_EQ(ext->TempRegCount, 78u);
    EXPECT_EQ(ext->FanRegs, Nct5523FanRegs);
    EXPECT_EQ(ext->FanRegCount, 79u);
    EXPECT_EQ(PublishedChipType(), static_cast<uint32_t>(CHIP_NCT6776));
    EXPECT_EQ(bus.Trace(), Identify(0x2E, 0xC3) + ReadBase(0x2E, 0x00, 0x00));
    EXPECT_TRUE(chip.ActivationWrites().empty());

    // After AddDevice the table fields are null, and stay so.
    Fresh();
    Install(ChipKind::W83627HF, 0x2E, 0x0000);
    EXPECT_FALSE(Detect());
    EXPECT_EQ(ext->ChipType, static_cast<ULONG>(CHIP_W83627HF));
    EXPECT_EQ(ext->VoltageLsb, 16u);
    EXPECT_EQ(ext->VoltageRegs, nullptr);
    EXPECT_EQ(ext->TempRegs, nullptr);
    EXPECT_EQ(ext->FanRegs, nullptr);
    EXPECT_EQ(ext->VoltageRegCount + ext->TempRegCount + ext->FanRegCount, 0u);
}

TEST_F(DetectTest, ActivationWrittenBackWithBit0Set)
{
    struct Case {
        uint8_t before;
        uint8_t written;
    };
    for (const Case& c : {Case{0x00, 0x01}, Case{0x01, 0x01}, Case{0xA4, 0xA5}, Case{0xFE, 0xFF}}) {
        SCOPED_TRACE(c.before);
        Fresh();
        SuperIo& chip = Install(ChipKind::W83627DHG, 0x2E, 0x0290, c.before);
        ASSERT_TRUE(Detect());
        EXPECT_EQ(chip.ActivationWrites(), std::vector<uint8_t>{c.written});
        EXPECT_EQ(chip.ConfigRegister(0x0B, 0x30), c.written);
        EXPECT_TRUE(chip.HwmActive());
        const Trace trace = bus.Trace();
        const Trace tail(trace.end() - 9, trace.end());
        EXPECT_EQ(tail, Activate(0x2E, c.before));
    }
}

TEST_F(DetectTest, SecondDetectionOverwritesTheProfile)
{
    Install(ChipKind::NCT5523D);
    ASSERT_TRUE(Detect());
    ASSERT_EQ(ext->FanRegCount, 3u);
    Install(ChipKind::W83627HF); // replaces the chip at 0x2E
    ASSERT_TRUE(Detect());
    EXPECT_EQ(ext->ChipType, static_cast<ULONG>(CHIP_W83627HF));
    EXPECT_EQ(ext->VoltageLsb, 16u);
    EXPECT_EQ(ext->VoltageRegs, HwmVoltageRegs);
    EXPECT_EQ(ext->FanRegs, nullptr);
    EXPECT_EQ(ext->FanRegCount, 0u);
    EXPECT_EQ(PublishedChipType(), static_cast<uint32_t>(CHIP_W83627HF));
}

TEST_F(DetectTest, FailedRegistryWriteDoesNotStopDetection)
{
    sim::registry::FailWrite(kServiceKey, "ChipsetType", STATUS_ACCESS_DENIED);
    SuperIo& chip = Install(ChipKind::NCT6776);
    EXPECT_TRUE(Detect());
    EXPECT_FALSE(PublishedChipType().has_value());
    EXPECT_EQ(chip.ActivationWrites().size(), 1u);
}

TEST_F(DetectTest, RegistryPathNeedsNoTerminator)
{
    // The counted path is followed by other characters, not by a zero.
    for (size_t i = ext->RegistryPath.Length / sizeof(WCHAR); i < KWO_REGISTRY_PATH_ROOM / 2; ++i)
        ext->RegistryPathBuffer[i] = L'X';
    Install(ChipKind::NCT6776);
    ASSERT_TRUE(Detect());
    EXPECT_EQ(PublishedChipType(), static_cast<uint32_t>(CHIP_NCT6776));

    // A path that fills the whole buffer.
    Fresh();
    std::string longKey = "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\";
    longKey += std::string(KWO_REGISTRY_PATH_ROOM / 2 - longKey.size(), 'K');
    for (size_t i = 0; i < longKey.size(); ++i)
        ext->RegistryPathBuffer[i] = static_cast<WCHAR>(longKey[i]);
    ext->RegistryPath.Length = KWO_REGISTRY_PATH_ROOM;
    ext->RegistryPath.MaximumLength = KWO_REGISTRY_PATH_ROOM;
    Install(ChipKind::W83627HF);
    ASSERT_TRUE(Detect());
    EXPECT_EQ(sim::registry::GetDword(longKey, "ChipsetType"),
              static_cast<uint32_t>(CHIP_W83627HF));
}

TEST_F(DetectTest, ConfigurationOperations)
{
    Install(ChipKind::NCT6776);
    bus.StartTrace();
    SioEnterConfig();
    SioSelectHwmDevice();
    EXPECT_EQ(SioReadConfig(0x20), 0xC3);
    SioExitConfig();
    EXPECT_EQ(bus.Trace(), (Trace{W(0x2E, 0x87), W(0x2E, 0x87), W(0x2E, 0x07), W(0x2F, 0x0B),
                                  W(0x2E, 0x20), R(0x2F, 0xC3), W(0x2E, 0xAA)}));
}

} // namespace
} // namespace chip_test
