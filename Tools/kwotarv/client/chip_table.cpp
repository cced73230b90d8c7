// The user-mode chip table.
#include "client/chip_table.hpp"

#include <algorithm>
#include <array>

#include "kwotarv_public.h"

namespace kwotarv {

namespace {

constexpr std::array kChips{
    ChipRow{CHIP_W83627HF, "W83627HF", "Winbond W83627HF Hardware Monitor", FanCounts::None},
    ChipRow{CHIP_W83627DHG, "W83627DHG", "Winbond W83627DHG Hardware Monitor", FanCounts::None},
    ChipRow{CHIP_NCT6776, "NCT6776", "Nuvoton NCT6776 Hardware Monitor", FanCounts::Nct6776Format},
    ChipRow{CHIP_NCT5523D, "NCT5523D", "Nuvoton NCT5523D/6106D Hardware Monitor", FanCounts::Raw},
};

char Upper(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

template <typename Matches> const ChipRow* Find(Matches matches)
{
    const auto row = std::find_if(kChips.begin(), kChips.end(), matches);
    return row == kChips.end() ? nullptr : &*row;
}

} // namespace

std::span<const ChipRow> Chips()
{
    return kChips;
}

const ChipRow* ChipByCode(uint32_t code)
{
    return Find([code](const ChipRow& row) { return row.code == code; });
}

const ChipRow* ChipByDescription(std::string_view description)
{
    return Find([description](const ChipRow& row) { return row.description == description; });
}

const ChipRow* ChipByName(std::string_view name)
{
    return Find([name](const ChipRow& row) {
        return std::ranges::equal(row.name, name,
                                  [](char a, char b) { return Upper(a) == Upper(b); });
    });
}

std::string_view ChipName(const ChipRow* chip, std::string_view unknown)
{
    return chip != nullptr ? chip->name : unknown;
}

std::string ChipNameList()
{
    std::string list;
    for (const ChipRow& row : kChips)
        list += (list.empty() ? "" : ", ") + std::string(row.name);
    return list;
}

uint32_t Nct6776FanRpm(uint16_t value)
{
    if ((value & 0xFF1F) == 0xFF1F)
        return 0;
    const uint32_t count = ((value >> 8) & 0xFFu) << 5 | (value & 0x1Fu);
    return count == 0 ? 0 : 1350000u / count;
}

std::optional<uint32_t> FanRpm(const ChipRow* chip, uint32_t count)
{
    if (chip == nullptr || chip->fanCounts != FanCounts::Nct6776Format)
        return std::nullopt;
    return Nct6776FanRpm(static_cast<uint16_t>(count));
}

} // namespace kwotarv
