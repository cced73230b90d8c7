// Text and byte helpers of the client: UTF-16LE to UTF-8, little-endian fields, hexadecimal
// input and output, numbers as the command line gives them.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kwotarv {

// UTF-16LE bytes up to the first zero unit (or the end) as UTF-8. Unpaired surrogates become
// U+FFFD. An odd trailing byte is ignored.
std::string Utf16LeToUtf8(std::span<const uint8_t> bytes);

// "0x80000005"; "0x222410" (six digits at least).
std::string HexStatus(uint32_t status);
std::string HexCode(uint32_t code);
// Bytes as lower-case hex without separators ("0a1b"), and the inverse, which also accepts
// spaces, colons and an optional "0x" prefix; nullopt for anything else or an odd digit count.
std::string HexBytes(std::span<const uint8_t> bytes);
std::optional<std::vector<uint8_t>> ParseHexBytes(std::string_view text);

// "0x1F", "31" or "0b101" as an unsigned 32-bit number; nullopt when malformed or too large.
std::optional<uint32_t> ParseNumber(std::string_view text);

uint32_t ReadLe32(std::span<const uint8_t> bytes, size_t offset);
uint16_t ReadLe16(std::span<const uint8_t> bytes, size_t offset);

} // namespace kwotarv
