// The configuration manager's name comparison: names are upper-cased code unit by code unit and
// compared as numbers, which is also the order subkeys enumerate in.
#include "kernel/registry/names.hpp"

#include <algorithm>

#include "kernel/registry/registry.hpp"

namespace sim::registry {
namespace {

// The system's upper-case table for the scripts a key name is likely to use: ASCII, Latin-1,
// Latin Extended-A, Greek, Cyrillic and the full-width Latin letters. Code units elsewhere
// compare as they are.
char16_t Upcase(char16_t c)
{
    if (c < 0x80)
        return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7)
        return static_cast<char16_t>(c - 0x20);
    if (c == 0xFF)
        return 0x178;
    if (c >= 0x100 && c <= 0x17F) {
        // Pairs: upper case on the even unit, except in 0x139-0x148 and 0x179-0x17E where the
        // upper case is the odd unit. 0x138 and 0x149 have no upper case.
        const bool oddUpper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if (c == 0x138 || c == 0x149 || c == 0x17F)
            return c;
        if (oddUpper)
            return (c % 2 == 0) ? static_cast<char16_t>(c - 1) : c;
        return (c % 2 == 1) ? static_cast<char16_t>(c - 1) : c;
    }
    if (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2)
        return static_cast<char16_t>(c - 0x20);
    if (c == 0x3C2)
        return 0x3A3;
    if (c >= 0x430 && c <= 0x44F)
        return static_cast<char16_t>(c - 0x20);
    if (c >= 0x450 && c <= 0x45F)
        return static_cast<char16_t>(c - 0x50);
    if (c >= 0xFF41 && c <= 0xFF5A)
        return static_cast<char16_t>(c - 0x20);
    return c;
}

} // namespace

int CompareNames(std::u16string_view a, std::u16string_view b)
{
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const char16_t ua = Upcase(a[i]);
        const char16_t ub = Upcase(b[i]);
        if (ua != ub)
            return ua < ub ? -1 : 1;
    }
    if (a.size() == b.size())
        return 0;
    return a.size() < b.size() ? -1 : 1;
}

namespace tree {

std::u16string UpcaseName(std::u16string_view name)
{
    std::u16string out(name);
    for (auto& c : out)
        c = Upcase(c);
    return out;
}

bool EqualNames(std::u16string_view a, std::u16string_view b)
{
    return a.size() == b.size() && CompareNames(a, b) == 0;
}

} // namespace tree
} // namespace sim::registry
