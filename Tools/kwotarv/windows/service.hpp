// `kwotarv.exe service`: `serve` as a Windows service (KwoTarvMonitor), started at boot by the
// service control manager. Its messages go to %ProgramData%\KwoTarv\service.log.
#pragma once

#include <filesystem>
#include <ostream>

#include "serve/serve.hpp"

namespace kwotarv {

inline constexpr wchar_t kServiceName[] = L"KwoTarvMonitor";

// Creates the service (or updates its command line) and starts it.
int InstallService(const ServeOptions& options, std::ostream& out, std::ostream& err);
// Stops and deletes the service.
int UninstallService(std::ostream& out, std::ostream& err);
// The service process: hands the thread to the service control manager, which calls the
// service's main routine; returns once the service has stopped.
int RunService(const ServeOptions& options);

std::filesystem::path ServiceLogPath();

} // namespace kwotarv
