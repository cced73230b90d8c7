// Shared pieces of the chip tests: expected port sequences built from the chip's protocol, and
// a fixture with a zero-filled device extension.
#pragma once

#include <memory>
#include <vector>

#include "chip/chip.h"
#include "hardware/hardware.hpp"
#include "support/sensors_board.hpp"
#include "support/sim_fixture.hpp"

namespace chip_test {

using sim::hw::PortAccess;
using Trace = std::vector<PortAccess>;

inline Trace operator+(Trace first, const Trace& second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

inline PortAccess W(uint16_t port, uint8_t value)
{
    return PortAccess::Write(port, value);
}
inline PortAccess R(uint16_t port, uint8_t value)
{
    return PortAccess::Read(port, value);
}

// ---- configuration interface, I = index port, D = I + 1 -------------------------------------
inline Trace Identify(uint16_t i, uint8_t id)
{
    return {W(i, 0x87), W(i, 0x87), W(i, 0x20), R(i + 1, id), W(i, 0xAA)};
}
inline Trace ReadBase(uint16_t i, uint8_t high, uint8_t low)
{
    return {W(i, 0x87),     W(i, 0x87), W(i, 0x07),    W(i + 1, 0x0B), W(i, 0x60),
            R(i + 1, high), W(i, 0x61), R(i + 1, low), W(i, 0xAA)};
}
inline Trace Activate(uint16_t i, uint8_t current)
{
    return {
        W(i, 0x87), W(i, 0x87),        W(i, 0x07), W(i + 1, 0x0B),
        W(i, 0x30), R(i + 1, current), W(i, 0x30), W(i + 1, static_cast<uint8_t>(current | 0x01)),
        W(i, 0xAA)};
}

// ---- hardware monitor at base 0x290 ---------------------------------------------------------
inline constexpr uint16_t kBase = 0x0290;
inline constexpr uint16_t kIndex = kBase + 5;
inline constexpr uint16_t kData = kBase + 6;

inline uint8_t BankOf(uint16_t reg)
{
    return static_cast<uint8_t>(reg >> 8);
}
inline uint8_t IndexOf(uint16_t reg)
{
    return static_cast<uint8_t>(reg & 0xFF);
}
inline uint8_t NextIndex(uint16_t reg)
{
    return static_cast<uint8_t>((reg + 1) & 0xFF);
}
inline Trace Bank(uint8_t bank)
{
    return {W(kIndex, 0x4E), W(kData, bank)};
}
inline Trace Read8(uint16_t reg, uint8_t value)
{
    return Bank(BankOf(reg)) + Trace{W(kIndex, IndexOf(reg)), R(kData, value)} + Bank(0);
}
inline Trace Read16(uint16_t reg, uint8_t high, uint8_t low)
{
    return Bank(BankOf(reg)) +
           Trace{W(kIndex, IndexOf(reg)), R(kData, high), W(kIndex, NextIndex(reg)),
                 R(kData, low)} +
           Bank(0);
}
inline Trace ReadShared(uint16_t reg, uint8_t high, uint8_t shared)
{
    return Bank(BankOf(reg)) +
           Trace{W(kIndex, IndexOf(reg)), R(kData, high), W(kIndex, 0x16), R(kData, shared)} +
           Bank(0);
}
inline Trace Write8(uint16_t reg, uint8_t value)
{
    return Bank(BankOf(reg)) + Trace{W(kIndex, IndexOf(reg)), W(kData, value)} + Bank(0);
}
inline Trace Write16(uint16_t reg, uint16_t value)
{
    return Bank(BankOf(reg)) +
           Trace{W(kIndex, IndexOf(reg)), W(kData, static_cast<uint8_t>(value >> 8)),
                 W(kIndex, NextIndex(reg)), W(kData, static_cast<uint8_t>(value & 0xFF))} +
           Bank(0);
}

inline ULONG TypeOf(sim::hw::ChipKind kind)
{
    switch (kind) {
    case sim::hw::ChipKind::W83627HF:
        return CHIP_W83627HF;
    case sim::hw::ChipKind::W83627DHG:
        return CHIP_W83627DHG;
    case sim::hw::ChipKind::NCT6776:
        return CHIP_NCT6776;
    case sim::hw::ChipKind::NCT5523D:
        return CHIP_NCT5523D;
    case sim::hw::ChipKind::None:
        break;
    }
    return CHIP_NONE;
}

class ChipTest : public SimTest {
  protected:
    void SetUp() override
    {
        SimTest::SetUp();
        ext = kwo::test::NewExtension();
    }
    // A fresh machine, driver image and extension in the middle of a table-driven test; what
    // the simulator reported so far fails the test first, as TearDown would.
    void Fresh()
    {
        for (const auto& fault : sim::faults::All())
            ADD_FAILURE() << "simulator reported: " << fault;
        SetUp();
    }

    sim::hw::PortBus& bus = sim::hw::Current().ports;
    std::unique_ptr<DEVICE_EXTENSION> ext;
};

} // namespace chip_test
