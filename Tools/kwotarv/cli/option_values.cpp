// Strict parsing of the numeric options (see option_values.hpp).
#include "cli/option_values.hpp"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

#include "client/text.hpp"

namespace kwotarv {

std::optional<double> ParseWatchSeconds(std::string_view text)
{
    // Digits, one optional fraction and exponent: strtod alone would also take "nan", "inf",
    // hex floats and leading blanks.
    if (text.empty() || text.size() > 64 ||
        !(std::isdigit(static_cast<unsigned char>(text[0])) || text[0] == '.'))
        return std::nullopt;
    for (char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c)) && c != '.' && c != 'e' && c != 'E' &&
            c != '-' && c != '+')
            return std::nullopt;
    const std::string copy(text);
    char* end = nullptr;
    const double value = std::strtod(copy.c_str(), &end);
    if (end != copy.c_str() + copy.size() || !std::isfinite(value) || value < 0 ||
        value > kMaxWatchSeconds)
        return std::nullopt;
    return value;
}

std::optional<uint64_t> ParseCount(std::string_view text)
{
    if (text.empty())
        return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        const auto digit = static_cast<uint64_t>(c - '0');
        if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10)
            return std::nullopt;
        value = value * 10 + digit;
    }
    if (value == 0)
        return std::nullopt;
    return value;
}

std::optional<uint32_t> ParseOutputLength(std::string_view text)
{
    const auto value = ParseNumber(text);
    if (!value || *value > kMaxOutputLength)
        return std::nullopt;
    return value;
}

} // namespace kwotarv
