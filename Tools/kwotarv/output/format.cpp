// How the tool writes values for people: units, columns and hex dumps.
#include "output/format.hpp"

#include <cstdio>

namespace kwotarv {

size_t DisplayWidth(std::string_view utf8)
{
    size_t width = 0;
    for (char c : utf8)
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80)
            ++width;
    return width;
}

std::string PadRight(std::string_view utf8, size_t width)
{
    std::string out(utf8);
    for (size_t w = DisplayWidth(utf8); w < width; ++w)
        out += ' ';
    return out;
}

std::string PadLeft(std::string_view utf8, size_t width)
{
    std::string out;
    for (size_t w = DisplayWidth(utf8); w < width; ++w)
        out += ' ';
    out += utf8;
    return out;
}

std::string FormatHundredths(uint32_t hundredths)
{
    char text[32];
    std::snprintf(text, sizeof text, "%u.%02u", hundredths / 100, hundredths % 100);
    return text;
}

namespace {

// A signed fixed-point value with `places` decimals (1 or 2).
std::string SignedDecimal(int64_t value, int places)
{
    const uint64_t scale = places == 1 ? 10 : 100;
    const uint64_t magnitude = static_cast<uint64_t>(value < 0 ? -value : value);
    char text[32];
    std::snprintf(text, sizeof text, "%s%llu.%0*llu", value < 0 ? "-" : "",
                  static_cast<unsigned long long>(magnitude / scale), places,
                  static_cast<unsigned long long>(magnitude % scale));
    return text;
}

} // namespace

std::string FormatTenths(int32_t tenths)
{
    return SignedDecimal(tenths, 1);
}

std::string FormatSignedHundredths(int32_t hundredths)
{
    return SignedDecimal(hundredths, 2);
}

std::string HexDump(std::span<const uint8_t> bytes, std::string_view indent)
{
    std::string out;
    char cell[16];
    for (size_t row = 0; row < bytes.size(); row += 16) {
        std::snprintf(cell, sizeof cell, "%04zx ", row);
        out += indent;
        out += cell;
        std::string ascii;
        for (size_t i = row; i < row + 16; ++i) {
            if (i < bytes.size()) {
                std::snprintf(cell, sizeof cell, " %02x", bytes[i]);
                out += cell;
                ascii += (bytes[i] >= 0x20 && bytes[i] < 0x7F) ? static_cast<char>(bytes[i]) : '.';
            } else {
                out += "   ";
            }
        }
        out += "  ";
        out += ascii;
        out += '\n';
    }
    return out;
}

} // namespace kwotarv
