// Key and value names as the configuration manager compares them: case-insensitively, by
// upper-cased UTF-16 code units (CompareNames itself is in registry.hpp).
#pragma once

#include <string>
#include <string_view>

namespace sim::registry::tree {

// The name with every code unit upper-cased as the system's table does it.
std::u16string UpcaseName(std::u16string_view name);
// True when the two names are the same name.
bool EqualNames(std::u16string_view a, std::u16string_view b);

} // namespace sim::registry::tree
