// Text helpers shared by the simulator's messages, registry and files.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sim::text {

// "0x" and upper-case hex digits, zero-padded to at least `digits` digits.
std::string Hex(uint64_t value, int digits = 0);
// A status value as the kernel prints it: eight hex digits.
std::string HexStatus(int32_t status);

// UTF-8 <-> UTF-16 (invalid UTF-8 bytes are taken as Latin-1 characters; unpaired surrogates are
// written as U+FFFD).
std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);

} // namespace sim::text
