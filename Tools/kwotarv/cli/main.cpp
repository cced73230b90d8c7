// kwotarv: reads the KwoTarv hardware monitor. One source for both platforms: on Windows the
// requests go to the driver's device (\\.\KwoTarvDev), on Linux to a simulated machine built
// from a board description, which also makes `kwotarv check` possible.
#include <iostream>
#include <variant>

#include "cli/command_line.hpp"
#include "cli/exit_status.hpp"
#include "commands/export.hpp"
#include "commands/session.hpp"
#include "commands/watch_pacing.hpp"

#if defined(_WIN32)
#include "backends/windows_backend.hpp"
#include "windows/console.hpp"
#include "windows/service.hpp"
#else
#include <unistd.h>

#include "backends/simulator_backend.hpp"
#endif

namespace kwotarv {

namespace {

bool StdoutIsTerminal()
{
#if defined(_WIN32)
    return WindowsConsoleIsTerminal();
#else
    return isatty(STDOUT_FILENO) != 0;
#endif
}

BackendFactory Backends([[maybe_unused]] const CommandLine& line)
{
#if defined(_WIN32)
    return MakeDeviceBackend;
#else
    return [&line] { return MakeSimulatorBackend(line.simulator); };
#endif
}

// The read in text or JSON, and its Prometheus export.
int RunReadCommand(ReadOptions& options, const BackendFactory& backends)
{
    if (options.format == OutputFormat::Prometheus) {
        InstallStopHandler();
        return WithBackend(backends, [&](Backend& backend) {
            return RunPrometheusRead(backend, options, std::cout, std::cerr);
        });
    }
    return WithBackend(backends, [&](Backend& backend) {
        Device& device = backend.Open();
        options.terminal = StdoutIsTerminal();
        options.bus.mutex = backend.IsaBusMutex();
        InstallStopHandler();
        return RunRead(device, options, std::cout, std::cerr);
    });
}

int RunCommand(CommandLine& line)
{
    const BackendFactory backends = Backends(line);
    switch (line.command) {
#if defined(_WIN32)
    case Command::ServiceInstall:
        return InstallService(line.serve, std::cout, std::cerr);
    case Command::ServiceUninstall:
        return UninstallService(std::cout, std::cerr);
    case Command::ServiceRun:
        return RunService(line.serve);
#else
    case Command::Check:
        return RunCheck(line.simulator, line.check, std::cout, std::cerr);
#endif
    case Command::Serve:
        InstallStopHandler();
        return WithBackend(backends, [&](Backend& backend) {
            return RunServe(backend, line.serve, std::cout, std::cerr);
        });
    case Command::Info:
        return WithBackend(backends, [&](Backend& backend) {
            Device& device = backend.Open();
            return RunInfo(device, backend, line.info, std::cout, std::cerr);
        });
    case Command::Ioctl:
        return WithBackend(backends, [&](Backend& backend) {
            line.ioctl.bus.mutex = backend.IsaBusMutex();
            return RunIoctl(backend.Open(), line.ioctl, std::cout);
        });
    case Command::Read:
        break;
    }
    return RunReadCommand(line.read, backends);
}

int Run(int argc, char** argv)
{
    std::variant<CommandLine, int> parsed = ParseCommandLine(argc, argv);
    if (const int* status = std::get_if<int>(&parsed))
        return *status;
    return RunCommand(std::get<CommandLine>(parsed));
}

} // namespace

} // namespace kwotarv

int main(int argc, char** argv)
{
#if defined(_WIN32)
    kwotarv::PrepareWindowsConsole();
#endif
    return kwotarv::RunReportingFailures([&] { return kwotarv::Run(argc, argv); });
}
