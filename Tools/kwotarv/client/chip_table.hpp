// The chips the driver supports, as user mode knows them: one row per chip with the CHIP_* code
// the driver publishes as ChipsetType, the name people use, the description text the driver
// answers with, and what the chip's fan counts are. Everything in user mode that needs a chip's
// name or the meaning of its counts looks it up here. No dependency beyond the driver's public
// header, so that the simulator can link it too (target kwotarv_chips).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kwotarv {

// What the value of one of the chip's fan channels is.
enum class FanCounts {
    None,          // the driver has no fan registers for the chip
    Raw,           // a count whose divisor the driver does not know: not a speed
    Nct6776Format, // the NCT6776 13-bit count (see Nct6776FanRpm): a speed
};

struct ChipRow {
    uint32_t code;                // CHIP_* of kwotarv_public.h
    std::string_view name;        // "NCT6776"
    std::string_view description; // the driver's ChipDesc text for the chip, exactly
    FanCounts fanCounts;
};

// Every chip, in the order in which lists of chips name them.
std::span<const ChipRow> Chips();

// The row of a CHIP_* code; nullptr for CHIP_NONE and unknown codes.
const ChipRow* ChipByCode(uint32_t code);
// The row whose description is exactly `description`; nullptr when none is.
const ChipRow* ChipByDescription(std::string_view description);
// The row of a chip name, compared without regard to case; nullptr when unknown.
const ChipRow* ChipByName(std::string_view name);

// The chip's name, or `unknown` for no chip.
std::string_view ChipName(const ChipRow* chip, std::string_view unknown);
// Every chip's name, separated by ", ".
std::string ChipNameList();

// The NCT6776 fan count format: the 16-bit register pair holds a 13-bit count (high byte as bits
// 12-5, low five bits of the low byte as bits 4-0). All count bits set means the fan stands
// (no reading, 0); otherwise the speed is 1350000 / count, 0 for a count of 0.
uint32_t Nct6776FanRpm(uint16_t value);
// Revolutions per minute for a fan count of the chip, or nullopt when its counts are not
// speeds (or the chip is not known).
std::optional<uint32_t> FanRpm(const ChipRow* chip, uint32_t count);

} // namespace kwotarv
