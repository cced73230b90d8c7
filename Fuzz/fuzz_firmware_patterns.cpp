// Board identification: a product name found in any firmware image, and product patterns
// matched against it. The driver's matcher is checked against a reference written here
// independently (dynamic programming over pattern and text); the name it finds must be bytes
// of the image; the image copy and the mapping must be gone after the search, the name after
// its release.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "hardware/hardware.hpp"
#include "kernel/pool/pool.hpp"
#include "kernel/reset.hpp"
#include "machine/driver_image.hpp"
// Driver headers last: the host build's kernel seam renames a few C library routines.
#include "config/firmware.h"

namespace {

// '*' any run of bytes (also none), '?' exactly one byte, anything else itself.
bool ReferenceMatch(const std::string& pattern, const std::string& text)
{
    // matches[j]: pattern[0, i) matches text[0, j).
    std::vector<char> matches(text.size() + 1, 0);
    matches[0] = 1;
    for (char p : pattern) {
        std::vector<char> next(text.size() + 1, 0);
        if (p == '*') {
            char any = 0;
            for (size_t j = 0; j <= text.size(); ++j) {
                any = any || matches[j];
                next[j] = any;
            }
        } else {
            for (size_t j = 1; j <= text.size(); ++j)
                next[j] = matches[j - 1] && (p == '?' || p == text[j - 1]);
        }
        matches.swap(next);
    }
    return matches[text.size()] != 0;
}

// Text without zero bytes (the driver's strings end at the first one).
std::string Text(FuzzedDataProvider& provider, size_t maxLength)
{
    std::string text = provider.ConsumeRandomLengthString(maxLength);
    text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
    return text;
}

void CheckMatch(const std::string& pattern, const std::string& text)
{
    const bool driver = WildcardMatch(pattern.c_str(), text.c_str()) != 0;
    if (driver != ReferenceMatch(pattern, text))
        kwofuzz::Finding("WildcardMatch(\"" + pattern + "\", \"" + text + "\") gives " +
                         (driver ? "a match" : "no match") + ", the reference the opposite");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider provider(data, size);
    const std::string pattern = Text(provider, 64);
    CheckMatch(pattern, Text(provider, 64));

    // The image: a fill byte, then the rest of the input placed at a chosen offset.
    sim::ResetAll();
    sim::machine::ReloadDriverImage();
    std::vector<uint8_t> image(sim::hw::kFirmwareSegmentSize, provider.ConsumeIntegral<uint8_t>());
    const size_t offset = provider.ConsumeIntegralInRange<size_t>(0, image.size() - 1);
    const std::vector<uint8_t> bytes = provider.ConsumeRemainingBytes<uint8_t>();
    std::copy_n(bytes.begin(), std::min(bytes.size(), image.size() - offset),
                image.begin() + static_cast<std::ptrdiff_t>(offset));
    auto& memory = sim::hw::Current().memory;
    memory.SetFirmwareImage(image);

    const bool found = FindProductName() != FALSE;
    if (Globals.FirmwareImage != nullptr)
        kwofuzz::Finding("the image copy outlived the search");
    if (!memory.OutstandingMappings().empty())
        kwofuzz::Finding("the firmware mapping outlived the search");
    if (found != (Globals.ProductName != nullptr))
        kwofuzz::Finding("FindProductName's result and the kept name disagree");
    if (found) {
        const std::string name = Globals.ProductName;
        // The driver maps 0xFFFF bytes: the name lies within them.
        const std::string_view mapped(reinterpret_cast<const char*>(image.data()),
                                      sim::hw::kFirmwareSegmentSize - 1);
        if (mapped.find(name) == std::string_view::npos)
            kwofuzz::Finding("the product name '" + name + "' is not in the image");
        if ((MatchProductName(pattern.c_str()) != FALSE) != ReferenceMatch(pattern, name))
            kwofuzz::Finding("MatchProductName(\"" + pattern +
                             "\") disagrees with the reference "
                             "for the name '" +
                             name + "'");
        CheckMatch(pattern, name);
    }
    ReleaseProductName();
    if (sim::pool::OutstandingCount() != 0)
        kwofuzz::Finding("pool memory left after the name was released");
    kwofuzz::CheckNoFaults("firmware search");
    return 0;
}
