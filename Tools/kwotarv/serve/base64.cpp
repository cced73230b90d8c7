// Base64 decoding for serve: one alphabet table, the two acceptance rules of base64.hpp.
#include "serve/base64.hpp"

#include <array>

namespace kwotarv {

namespace {

// A character's base64 value; kBlank, kLineEnd (line ends and '-') or kInvalid for the others.
// '=' counts as zero, the padding being dropped afterwards.
constexpr unsigned char kBlank = 0xE0, kLineEnd = 0xF0, kInvalid = 0xFF;
constexpr std::array<unsigned char, 256> kBase64Values = [] {
    std::array<unsigned char, 256> values{};
    values.fill(kInvalid);
    constexpr std::string_view kDigits =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (size_t i = 0; i < kDigits.size(); ++i)
        values[static_cast<unsigned char>(kDigits[i])] = static_cast<unsigned char>(i);
    values['='] = 0;
    values[' '] = values['\t'] = kBlank;
    values['\n'] = values['\r'] = values['-'] = kLineEnd;
    return values;
}();

} // namespace

bool DecodeBase64Groups(std::string_view encoded, std::string& decoded)
{
    const auto value = [](char c) { return kBase64Values[static_cast<unsigned char>(c)]; };
    while (!encoded.empty() && value(encoded.front()) == kBlank)
        encoded.remove_prefix(1);
    while (encoded.size() > 3 &&
           (value(encoded.back()) == kBlank || value(encoded.back()) == kLineEnd))
        encoded.remove_suffix(1);
    if (encoded.size() % 4 != 0)
        return false;
    decoded.clear();
    for (size_t i = 0; i < encoded.size(); i += 4) {
        uint32_t group = 0;
        for (size_t j = 0; j < 4; ++j) {
            const unsigned char digit = value(encoded[i + j]);
            if (digit >= 64)
                return false;
            group = group << 6 | digit;
        }
        decoded += {static_cast<char>(group >> 16), static_cast<char>(group >> 8),
                    static_cast<char>(group)};
    }
    return true;
}

std::optional<std::vector<uint8_t>> DecodePemBase64(std::string_view body)
{
    std::vector<uint8_t> out;
    uint32_t bits = 0;
    int count = 0, padding = 0;
    for (const char c : body) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
            continue;
        if (c == '=') {
            ++padding;
            continue;
        }
        const unsigned char value = kBase64Values[static_cast<unsigned char>(c)];
        if (value >= 64 || padding > 0)
            return std::nullopt;
        bits = (bits << 6) | static_cast<uint32_t>(value);
        if (++count % 4 == 0)
            for (int shift = 16; shift >= 0; shift -= 8)
                out.push_back(static_cast<uint8_t>(bits >> shift));
    }
    const int rest = count % 4;
    if (rest == 1 || padding > 2 || (padding > 0 && (rest + padding) % 4 != 0))
        return std::nullopt;
    if (rest >= 2)
        out.push_back(static_cast<uint8_t>(bits >> (rest == 2 ? 4 : 10)));
    if (rest == 3)
        out.push_back(static_cast<uint8_t>(bits >> 2));
    return out;
}

} // namespace kwotarv
