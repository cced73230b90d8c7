// The driver's firmware search and wildcard match, used by the machine's diagnosis and by the
// configuration check so that both judge a board exactly as the driver does.
#include "machine/product_name.hpp"

#include <string>

#include "config/firmware.h"

namespace sim::machine {

std::optional<std::string> SearchProductName()
{
    if (Globals.ProductName != nullptr)
        return std::string(Globals.ProductName);
    if (!FindProductName())
        return std::nullopt;
    std::string name(Globals.ProductName);
    ReleaseProductName();
    return name;
}

bool DriverMatches(std::string_view pattern, std::string_view name)
{
    const std::string patternText(pattern);
    const std::string nameText(name);
    return WildcardMatch(patternText.c_str(), nameText.c_str()) != 0;
}

} // namespace sim::machine
