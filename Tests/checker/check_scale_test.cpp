// The configuration check on a Product key with a thousand board patterns: the shadowing rule
// compares every pattern with every one before it and must stay quick.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "kernel/registry/registry.hpp"
#include "kernel/reset.hpp"
#include "checker/check.hpp"
#include "machine/machine.hpp"

namespace {

using namespace sim;

// Patterns of the shapes integrators use: exact names, a family with "*", names with "?"
// for a revision digit, and a few with several wildcards.
std::string GeneratedPattern(int i)
{
    const std::string number = std::to_string(1000 + i);
    switch (i % 5) {
    case 0:
        return "QIB-" + number;
    case 1:
        return "RZV" + number + "*";
    case 2:
        return "WENK" + number.substr(0, 3) + "?";
    case 3:
        return "*-" + number + "?*";
    default:
        return "LUW-*" + number + "*?" + number.substr(2);
    }
}

TEST(CheckScale, AThousandPatternsAreCheckedQuickly)
{
    ResetAll();
    const std::string product = machine::kProductKeyPath;
    for (int i = 0; i < 1000; ++i) {
        const std::string key = product + "\\" + GeneratedPattern(i) + "\\Voltage\\0";
        registry::CreateKey(key);
        registry::SetDword(key, "RegIndex", 0);
    }
    // One pattern that everything after it in enumeration order falls under.
    registry::CreateKey(product + "\\LUW-*\\Voltage\\0");
    registry::SetDword(product + "\\LUW-*\\Voltage\\0", "RegIndex", 0);

    const auto start = std::chrono::steady_clock::now();
    const auto findings = machine::CheckConfiguration({hw::ChipKind::NCT6776, false, std::nullopt});
    const auto elapsed = std::chrono::steady_clock::now() - start;

    size_t shadowed = 0;
    for (const auto& finding : findings)
        if (finding.message.find("is never used: 'LUW-*'") != std::string::npos)
            ++shadowed;
    EXPECT_EQ(shadowed, 200u);
    // About a tenth of a second in a debug build; the bound leaves room for slow machines and
    // sanitizers while catching a return of quadratic work with a large constant.
    EXPECT_LT(elapsed, std::chrono::seconds(20));
    RecordProperty(
        "milliseconds",
        std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));
    std::printf("check of 1001 patterns: %lld ms\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()));
}

} // namespace
