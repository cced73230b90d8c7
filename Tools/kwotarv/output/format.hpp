// How the tool writes values for people: hundredths of a volt and tenths of a degree as
// decimals, text padded to columns, and a classic hex dump.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kwotarv {

// Number of characters (code points) of UTF-8 text, for column alignment.
size_t DisplayWidth(std::string_view utf8);
// Text padded with spaces on the right (left) to `width` characters.
std::string PadRight(std::string_view utf8, size_t width);
std::string PadLeft(std::string_view utf8, size_t width);

// Hundredths of a volt as "12.09"; tenths of a degree as "-0.5".
std::string FormatHundredths(uint32_t hundredths);
std::string FormatTenths(int32_t tenths);
// Signed hundredths of a volt (a configured limit) as "-0.05".
std::string FormatSignedHundredths(int32_t hundredths);

// A classic hex dump: offset, 16 bytes, printable characters.
std::string HexDump(std::span<const uint8_t> bytes, std::string_view indent);

} // namespace kwotarv
