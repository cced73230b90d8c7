// kwotarv: reads the KwoTarv hardware monitor. One source for both platforms: on Windows the
// requests go to the driver's device (\\.\KwoTarvDev), on Linux to a simulated machine built
// from a board description, which also makes `kwotarv check` possible.
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>

#include "backend.hpp"
#include "commands.hpp"
#include "option_values.hpp"
#include "monitoring_commands.hpp"
#include "text.hpp"

#if defined(_WIN32)
#include "windows_backend.hpp"
#else
#include <unistd.h>

#include "simulator_backend.hpp"
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

int Run(int argc, char** argv)
{
    CLI::App app{"Reads voltages, temperatures and fans from the KwoTarv hardware-monitor driver.",
                 "kwotarv"};
    app.footer("Exit status: 0 success, 1 the device did not start or a request failed, "
               "2 usage error.");
    app.require_subcommand(0, 1);

    bool json = false;
    double watchSeconds = 0;
    uint64_t count = 1;
    app.add_flag("--json", json, "Print JSON instead of text");
    CLI::Option* watchOption =
        app.add_option("--watch", watchSeconds,
                       "read: repeat every SECONDS (fractions allowed, at most a day)")
            ->transform(Strict(ParseWatchSeconds, "a number of seconds from 0 to " +
                                                      std::to_string(int(kMaxWatchSeconds))))
            ->type_name("SECONDS");
    CLI::Option* countOption = app.add_option("--count", count,
                                              "read: number of readings (default 1, or until "
                                              "interrupted with --watch)")
                                   ->transform(Strict(ParseCount, "a whole number from 1 to "
                                                                  "18446744073709551615"))
                                   ->type_name("N");

#if !defined(_WIN32)
    SimulatorOptions sim;
    app.add_option("--board", sim.board,
                   "Simulator: board directory (board.json, registry.reg); default: the built-in "
                   "demo board")
        ->type_name("DIR");
    app.add_option("--firmware", sim.firmware, "Simulator: firmware image (64 KiB F-segment)")
        ->type_name("FILE");
    app.add_option("--registry", sim.registry, "Simulator: registry configuration (.reg file)")
        ->type_name("FILE");
    app.add_option("--trace-ports", sim.tracePorts, "Simulator: write every port operation to FILE")
        ->type_name("FILE");
    app.add_option("--registry-out", sim.registryOut,
                   "Simulator: write the registry after the run to FILE")
        ->type_name("FILE");
    app.add_flag("--debug-output", sim.debugOutput,
                 "Simulator: show the driver's DbgPrint lines on stderr");
#endif

    CLI::App* read = app.add_subcommand("read", "Read every channel (the default command)");
    CLI::App* info = app.add_subcommand(
        "info", "Show the chip description, the voltage list, the info block and the values the "
                "driver published");
    CLI::App* ioctl = app.add_subcommand("ioctl", "Send one raw device-control request");
    std::string codeText, inputText;
    uint32_t outputLength = 1024;
    ioctl
        ->add_option("CODE", codeText,
                     "Control code: a number (0x222410) or a name "
                     "(IOCTL_HWM_GET_CHIP_INFO)")
        ->required();
    ioctl->add_option("--input", inputText, "Input bytes in hex (\"05000000\")")->type_name("HEX");
    ioctl
        ->add_option("--output-length", outputLength,
                     "Output buffer length (default 1024, at most " +
                         std::to_string(kMaxOutputLength) + ")")
        ->transform(Strict(ParseOutputLength,
                           "a length from 0 to " + std::to_string(kMaxOutputLength) + " bytes"))
        ->type_name("N");

#if !defined(_WIN32)
    CLI::App* check = app.add_subcommand("check", "Check a board configuration before it ships");
    std::string chipName;
    check->add_option("--chip", chipName, "Check for this chip instead of the board's")
        ->type_name("NAME");
#endif
    MonitoringCommandLine monitoring;
    AddMonitoringCommands(app, monitoring);
    for (CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; }))
        sub->fallthrough();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int status = app.exit(error);
        return status == 0 ? kExitSuccess : kExitUsage;
    }

    const bool reading = !info->parsed() && !ioctl->parsed() && !MonitoringCommandParsed(monitoring)
#if !defined(_WIN32)
                         && !check->parsed()
#endif
        ;
    if (!reading && (watchOption->count() > 0 || countOption->count() > 0))
        throw ToolError("--watch and --count apply to the read command only", kExitUsage);
    (void)read;

    RawRequest raw;
    if (ioctl->parsed()) {
        auto code = ParseControlCode(codeText);
        if (!code)
            throw ToolError("'" + codeText +
                                "' is not a control code; give a number such as 0x222410 or a "
                                "name such as IOCTL_HWM_GET_CHIP_INFO",
                            kExitUsage);
        auto input = ParseHexBytes(inputText);
        if (!input)
            throw ToolError("--input: '" + inputText +
                                "' is not hex bytes; write them like 05000000 or \"05 00 00 00\"",
                            kExitUsage);
        raw = {*code, *input, outputLength};
    }

    ReadRequest readRequest{reading, json, std::nullopt, std::nullopt};
    if (watchOption->count() > 0)
        readRequest.watchSeconds = watchSeconds;
    if (countOption->count() > 0)
        readRequest.count = count;
    json = json || monitoring.format == "json";

#if defined(_WIN32)
    if (auto status = RunMonitoringCommand(monitoring, readRequest, MakeDeviceBackend))
        return *status;
    const auto makeBackend = MakeDeviceBackend;
#else
    if (check->parsed())
        return RunCheck(sim, chipName.empty() ? std::nullopt : std::optional(chipName), json,
                        std::cout, std::cerr);
    if (auto status = RunMonitoringCommand(monitoring, readRequest,
                                           [&sim] { return MakeSimulatorBackend(sim); }))
        return *status;
    const auto makeBackend = [&sim] { return MakeSimulatorBackend(sim); };
#endif

    return WithBackend(makeBackend, [&](Backend& backend) {
        int status = kExitSuccess;
        Device& device = backend.Open();
        if (info->parsed()) {
            status = RunInfo(device, backend, json, std::cout, std::cerr);
        } else if (ioctl->parsed()) {
            status = RunIoctl(device, raw, json, std::cout);
        } else {
            ReadOptions options;
            options.json = json;
            if (watchOption->count() > 0)
                options.watchSeconds = watchSeconds;
            if (countOption->count() > 0)
                options.count = count;
            options.terminal = StdoutIsTerminal();
            InstallStopHandler();
            status = RunRead(device, options, std::cout, std::cerr);
        }
        return status;
    });
}

} // namespace

} // namespace kwotarv

int main(int argc, char** argv)
{
#if defined(_WIN32)
    kwotarv::PrepareWindowsConsole();
#endif
    try {
        return kwotarv::Run(argc, argv);
    } catch (const kwotarv::ToolError& error) {
        std::cerr << "kwotarv: " << error.what() << "\n";
        return error.ExitCode();
    } catch (const std::exception& error) {
        std::cerr << "kwotarv: unexpected failure: " << error.what() << "\n";
        return kwotarv::kExitFailure;
    }
}
