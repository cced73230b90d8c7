// What `kwotarv --version` (-V) prints: the tool's version and build type and, on Windows, the
// version of the installed driver image.
#pragma once

#include <string>

namespace kwotarv {

std::string VersionText();

} // namespace kwotarv
