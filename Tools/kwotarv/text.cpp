// Text helpers of the command-line tool.
#include "text.hpp"

#include <array>
#include <cstdio>
#include <limits>

#include "kwotarv_public.h"

namespace kwotarv {

namespace {

void AppendUtf8(std::string& out, uint32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

struct Named {
    uint32_t value;
    const char* name;
};

constexpr std::array kStatusNames{
    Named{0x00000000, "STATUS_SUCCESS"},
    Named{0x00000103, "STATUS_PENDING"},
    Named{0x00000117, "STATUS_BUFFER_ALL_ZEROS"},
    Named{0x80000005, "STATUS_BUFFER_OVERFLOW"},
    Named{0xC0000001, "STATUS_UNSUCCESSFUL"},
    Named{0xC0000008, "STATUS_INVALID_HANDLE"},
    Named{0xC000000D, "STATUS_INVALID_PARAMETER"},
    Named{0xC000000E, "STATUS_NO_SUCH_DEVICE"},
    Named{0xC0000010, "STATUS_INVALID_DEVICE_REQUEST"},
    Named{0xC0000022, "STATUS_ACCESS_DENIED"},
    Named{0xC0000023, "STATUS_BUFFER_TOO_SMALL"},
    Named{0xC0000034, "STATUS_OBJECT_NAME_NOT_FOUND"},
    Named{0xC0000056, "STATUS_DELETE_PENDING"},
    Named{0xC000009A, "STATUS_INSUFFICIENT_RESOURCES"},
    Named{0xC00000BB, "STATUS_NOT_SUPPORTED"},
    Named{0xC000014C, "STATUS_REGISTRY_CORRUPT"},
    Named{0xC0000184, "STATUS_INVALID_DEVICE_STATE"},
    Named{0xC00002B6, "STATUS_DEVICE_REMOVED"},
};

constexpr std::array kCodeNames{
    Named{IOCTL_HWM_GET_TEMPERATURES, "IOCTL_HWM_GET_TEMPERATURES"},
    Named{IOCTL_HWM_GET_VOLTAGES, "IOCTL_HWM_GET_VOLTAGES"},
    Named{IOCTL_HWM_GET_CHIP_DESC, "IOCTL_HWM_GET_CHIP_DESC"},
    Named{IOCTL_HWM_GET_CHIP_INFO, "IOCTL_HWM_GET_CHIP_INFO"},
    Named{IOCTL_HWM_GET_FANS, "IOCTL_HWM_GET_FANS"},
    Named{IOCTL_HWM_GET_CHANNEL_NAMES, "IOCTL_HWM_GET_CHANNEL_NAMES"},
    Named{IOCTL_HWM_GET_CHANNEL_VALUES, "IOCTL_HWM_GET_CHANNEL_VALUES"},
};

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

} // namespace

std::string Utf16LeToUtf8(std::span<const uint8_t> bytes)
{
    std::string out;
    const size_t units = bytes.size() / 2;
    for (size_t i = 0; i < units; ++i) {
        uint32_t unit = ReadLe16(bytes, 2 * i);
        if (unit == 0)
            break;
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units) {
            uint32_t next = ReadLe16(bytes, 2 * (i + 1));
            if (next >= 0xDC00 && next <= 0xDFFF) {
                AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
                ++i;
                continue;
            }
        }
        AppendUtf8(out, (unit >= 0xD800 && unit <= 0xDFFF) ? 0xFFFD : unit);
    }
    return out;
}

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

std::string FormatTenths(int32_t tenths)
{
    const int64_t value = tenths;
    const uint64_t magnitude = static_cast<uint64_t>(value < 0 ? -value : value);
    char text[32];
    std::snprintf(text, sizeof text, "%s%llu.%llu", value < 0 ? "-" : "",
                  static_cast<unsigned long long>(magnitude / 10),
                  static_cast<unsigned long long>(magnitude % 10));
    return text;
}

std::string HexStatus(uint32_t status)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", status);
    return text;
}

std::string HexCode(uint32_t code)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%06X", code);
    return text;
}

std::string HexBytes(std::span<const uint8_t> bytes)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        out += kDigits[b >> 4];
        out += kDigits[b & 0x0F];
    }
    return out;
}

std::optional<std::vector<uint8_t>> ParseHexBytes(std::string_view text)
{
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text.remove_prefix(2);
    std::vector<uint8_t> bytes;
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == ':' || c == '\t') {
            if (high >= 0)
                return std::nullopt; // a separator inside a byte
            continue;
        }
        int digit = HexDigit(c);
        if (digit < 0)
            return std::nullopt;
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<uint8_t>(high << 4 | digit));
            high = -1;
        }
    }
    if (high >= 0)
        return std::nullopt;
    return bytes;
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

std::optional<uint32_t> ParseNumber(std::string_view text)
{
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    } else if (text.size() > 2 && text[0] == '0' && (text[1] == 'b' || text[1] == 'B')) {
        base = 2;
        text.remove_prefix(2);
    }
    if (text.empty())
        return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        int digit = HexDigit(c);
        if (digit < 0 || static_cast<unsigned>(digit) >= base)
            return std::nullopt;
        value = value * base + static_cast<unsigned>(digit);
        if (value > std::numeric_limits<uint32_t>::max())
            return std::nullopt;
    }
    return static_cast<uint32_t>(value);
}

std::string StatusName(uint32_t status)
{
    for (const auto& entry : kStatusNames)
        if (entry.value == status)
            return entry.name;
    return {};
}

std::string ControlCodeName(uint32_t code)
{
    for (const auto& entry : kCodeNames)
        if (entry.value == code)
            return entry.name;
    return {};
}

std::optional<uint32_t> ParseControlCode(std::string_view text)
{
    for (const auto& entry : kCodeNames)
        if (EqualsIgnoreCase(text, entry.name))
            return entry.value;
    return ParseNumber(text);
}

uint32_t ReadLe32(std::span<const uint8_t> bytes, size_t offset)
{
    return static_cast<uint32_t>(bytes[offset]) | static_cast<uint32_t>(bytes[offset + 1]) << 8 |
           static_cast<uint32_t>(bytes[offset + 2]) << 16 |
           static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

uint16_t ReadLe16(std::span<const uint8_t> bytes, size_t offset)
{
    return static_cast<uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}

} // namespace kwotarv
