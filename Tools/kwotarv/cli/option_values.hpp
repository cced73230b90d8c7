// The numeric options of the command line, parsed strictly and bounded: a value the tool cannot
// honour is a usage error before anything runs, never an overflow or a huge allocation later.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include <CLI/CLI.hpp>

namespace kwotarv {

// --watch SECONDS: a day between two readings at most.
inline constexpr double kMaxWatchSeconds = 86400;
// ioctl --output-length N: the driver's largest reply is a few KiB; 64 KiB leaves room for
// experiments without allocating whatever a typing error asks for.
inline constexpr uint32_t kMaxOutputLength = 64 * 1024;

// A plain decimal number ("2", "0.25", "1e-3") from 0 to kMaxWatchSeconds; nullopt for
// anything else (NaN, infinities, hex floats, signs, blanks).
std::optional<double> ParseWatchSeconds(std::string_view text);
// A decimal whole number from 1 to the largest 64-bit count.
std::optional<uint64_t> ParseCount(std::string_view text);
// A number as ParseNumber reads it ("1024", "0x400") from 0 to kMaxOutputLength.
std::optional<uint32_t> ParseOutputLength(std::string_view text);

// A CLI11 transform: the option's text checked by `parse` and handed on in plain decimal, so
// that CLI11's own conversion sees only values the tool accepts.
template <typename Parse> CLI::Validator Strict(Parse parse, std::string expected)
{
    return CLI::Validator(
        [parse, expected](std::string& text) {
            const auto value = parse(text);
            if (!value)
                return "'" + text + "' is not " + expected;
            char decimal[32];
            if constexpr (std::is_floating_point_v<std::decay_t<decltype(*value)>>)
                std::snprintf(decimal, sizeof decimal, "%.17g", *value);
            else
                std::snprintf(decimal, sizeof decimal, "%llu",
                              static_cast<unsigned long long>(*value));
            text = decimal;
            return std::string();
        },
        "");
}

} // namespace kwotarv
