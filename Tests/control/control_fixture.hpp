// The board every request test starts from: an NCT6776 with three voltage channels, three
// temperature channels and two fan channels whose registers hold known values, a description,
// and an info block with two temperature groups.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "channel_builder.hpp"
#include "control_device.hpp"
#include "sim_fixture.hpp"

namespace kwo::test {

// Expected readings of the standard board.
inline constexpr uint32_t kVolt0 = 80, kVolt1 = 120, kVolt2 = 160;
inline constexpr int32_t kTemp0 = 255, kTemp1 = 320;
inline constexpr uint32_t kFan0 = 0x0A14, kFan1 = 0x0100;

class ControlTest : public SimTest {
  protected:
    void SetUp() override
    {
        SimTest::SetUp();
        dev.emplace(sim::hw::ChipKind::NCT6776);
        sim::hw::SuperIo& chip = dev->Chip();
        chip.SetRegister(0x0020, 100);
        chip.SetRegister(0x0021, 150);
        chip.SetRegister(0x0024, 200);
        chip.SetWord(0x0073, 0x1980);
        chip.SetRegister(0x0027, 0x20);
        chip.SetWord(0x0075, 0x0A00);
        chip.SetRegister(0x0656, 0x0A);
        chip.SetRegister(0x0657, 0x14);
        chip.SetRegister(0x0658, 0x01);
        chip.SetRegister(0x0659, 0x00);

        dev->SetVoltages(BuildChannelList(SENSOR_KIND_VOLTAGE, {{.name = u"VCore", .regIndex = 0},
                                                                {.name = u"VIN1", .regIndex = 1},
                                                                {.name = u"VBAT", .regIndex = 4}}));
        dev->SetTemperatures(
            BuildChannelList(SENSOR_KIND_TEMPERATURE, {{.name = u"CPU Temp", .regIndex = 3},
                                                       {.name = u"System", .regIndex = 0},
                                                       {.name = u"Aux", .regIndex = 4}}));
        dev->SetFans(BuildChannelList(SENSOR_KIND_FAN, {{.name = u"CPU Fan", .regIndex = 0},
                                                        {.name = u"SYS Fan", .regIndex = 1}}));
        dev->SetChipInfo(2);
        dev->SetDescription(u"Nuvoton NCT6776 Hardware Monitor", u"VCore VIN1 VBAT ");
    }

    void TearDown() override
    {
        dev.reset();
        SimTest::TearDown();
    }

    // Port operations since boot: a request that reads no sensor leaves this unchanged.
    static uint64_t PortOps() { return sim::hw::Current().ports.OperationCount(); }

    static std::vector<uint8_t> Selector(uint32_t selector)
    {
        std::vector<uint8_t> bytes(4);
        std::memcpy(bytes.data(), &selector, 4);
        return bytes;
    }

    std::optional<ControlDevice> dev;
};

inline uint32_t U32(const std::vector<uint8_t>& bytes, size_t offset)
{
    uint32_t value = 0;
    std::memcpy(&value, bytes.data() + offset, 4);
    return value;
}

inline int32_t I32(const std::vector<uint8_t>& bytes, size_t offset)
{
    return static_cast<int32_t>(U32(bytes, offset));
}

// The UTF-16 text of a 64-byte name slot, up to its first NUL (or the whole slot).
inline std::u16string SlotText(const std::vector<uint8_t>& bytes, size_t slot)
{
    std::u16string text;
    for (size_t i = 0; i < 32; ++i) {
        char16_t c =
            static_cast<char16_t>(bytes[slot * 64 + 2 * i] | (bytes[slot * 64 + 2 * i + 1] << 8));
        if (c == 0)
            break;
        text += c;
    }
    return text;
}

} // namespace kwo::test
