// Small text helpers shared by the commands: UTF-16LE to UTF-8, numbers in the units the tool
// prints, hexadecimal input and output, status and control-code names.
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
// Number of characters (code points) of UTF-8 text, for column alignment.
size_t DisplayWidth(std::string_view utf8);
// Text padded with spaces on the right (left) to `width` characters.
std::string PadRight(std::string_view utf8, size_t width);
std::string PadLeft(std::string_view utf8, size_t width);

// Hundredths of a volt as "12.09"; tenths of a degree as "-0.5".
std::string FormatHundredths(uint32_t hundredths);
std::string FormatTenths(int32_t tenths);

// "0x80000005"; "0x222410" (six digits at least).
std::string HexStatus(uint32_t status);
std::string HexCode(uint32_t code);
// Bytes as lower-case hex without separators ("0a1b"), and the inverse, which also accepts
// spaces, colons and an optional "0x" prefix; nullopt for anything else or an odd digit count.
std::string HexBytes(std::span<const uint8_t> bytes);
std::optional<std::vector<uint8_t>> ParseHexBytes(std::string_view text);
// A classic hex dump: offset, 16 bytes, printable characters.
std::string HexDump(std::span<const uint8_t> bytes, std::string_view indent);

// "0x1F", "31" or "0b101" as an unsigned 32-bit number; nullopt when malformed or too large.
std::optional<uint32_t> ParseNumber(std::string_view text);

// Known names of statuses and control codes ("STATUS_BUFFER_OVERFLOW",
// "IOCTL_HWM_GET_CHIP_INFO"); empty when unknown.
std::string StatusName(uint32_t status);
std::string ControlCodeName(uint32_t code);
// A control code given as a number or as one of the driver's code names.
std::optional<uint32_t> ParseControlCode(std::string_view text);

uint32_t ReadLe32(std::span<const uint8_t> bytes, size_t offset);
uint16_t ReadLe16(std::span<const uint8_t> bytes, size_t offset);

} // namespace kwotarv
