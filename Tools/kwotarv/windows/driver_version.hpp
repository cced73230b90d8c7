// The version of the installed driver: the file version in the version resource of the image
// that the driver's service key names as its ImagePath.
#pragma once

#include <string>

namespace kwotarv {

// "driver 1.0.0.0 (C:\Windows\System32\drivers\kwotarv.sys)", or why there is no version to
// show ("driver: not installed (...)", "driver: ... has no version resource").
std::string DriverVersionText();

} // namespace kwotarv
