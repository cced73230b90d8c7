// The version text. KWOTARV_VERSION and KWOTARV_BUILD_TYPE come from the build (sources.cmake).
#include "cli/version.hpp"

#if defined(_WIN32)
#include "windows/driver_version.hpp"
#endif

namespace kwotarv {

std::string VersionText()
{
    const std::string buildType = KWOTARV_BUILD_TYPE;
    std::string text = std::string("kwotarv ") + KWOTARV_VERSION + " (" +
                       (buildType.empty() ? "unspecified" : buildType) + " build)";
#if defined(_WIN32)
    text += "\n" + DriverVersionText();
#endif
    return text;
}

} // namespace kwotarv
