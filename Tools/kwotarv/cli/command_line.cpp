// The command line, built with CLI11 in three parts (the options every command takes, the
// device commands, the monitoring commands), then checked and turned into the command and its
// options in one place: --json and --format json both mean JSON output.
#include "cli/command_line.hpp"

#include <string>

#include <CLI/CLI.hpp>

#include "cli/exit_status.hpp"
#include "cli/option_values.hpp"
#include "cli/version.hpp"
#include "client/protocol_names.hpp"
#include "client/text.hpp"

namespace kwotarv {

namespace {

// What CLI11 fills in, before it is checked.
struct Parsed {
    CommandLine line; // the options bound straight to their fields
    bool json = false;
    double watchSeconds = 0;
    uint64_t count = 1;
    CLI::Option* watchOption = nullptr;
    CLI::Option* countOption = nullptr;
    std::string format = "text";
    CLI::Option* formatOption = nullptr;
    std::string output;
    CLI::Option* outputOption = nullptr;
    bool failOnAlarm = false;
    CLI::Option* failOnAlarmOption = nullptr;
    uint32_t busLockTimeoutMs = kDefaultBusLockTimeoutMs;
    std::string codeText;
    std::string inputText;
    std::string chip;
    CLI::App* info = nullptr;
    CLI::App* ioctl = nullptr;
    CLI::App* serve = nullptr;
#if defined(_WIN32)
    CLI::App* serviceInstall = nullptr;
    CLI::App* serviceUninstall = nullptr;
    CLI::App* serviceRun = nullptr;
#else
    CLI::App* check = nullptr;
#endif
};

#if !defined(_WIN32)
void AddSimulatorOptions(CLI::App& app, SimulatorOptions& sim)
{
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
    app.add_option("--register-changes", sim.registerChanges,
                   "Simulator: write the registers in FILE ({\"0x0021\": \"0xF6\"}, as in "
                   "board.json) into the chip whenever FILE changes")
        ->type_name("FILE");
}
#endif

// The options every command accepts: the output form, the read's pacing, the simulator.
void AddCommonOptions(CLI::App& app, Parsed& p)
{
    app.add_flag("--json", p.json, "Print JSON instead of text");
    p.watchOption =
        app.add_option("--watch", p.watchSeconds,
                       "read: repeat every SECONDS (fractions allowed, at most a day)")
            ->transform(Strict(ParseWatchSeconds, "a number of seconds from 0 to " +
                                                      std::to_string(int(kMaxWatchSeconds))))
            ->type_name("SECONDS");
    p.countOption = app.add_option("--count", p.count,
                                   "read: number of readings (default 1, or until "
                                   "interrupted with --watch)")
                        ->transform(Strict(ParseCount, "a whole number from 1 to "
                                                       "18446744073709551615"))
                        ->type_name("N");
    app.add_option("--bus-lock-timeout", p.busLockTimeoutMs,
                   "Milliseconds to wait for the ISA-bus mutex other monitoring tools share "
                   "(default 500)")
        ->check(CLI::Range(0u, kMaxBusLockTimeoutMs))
        ->type_name("MS");
#if !defined(_WIN32)
    AddSimulatorOptions(app, p.line.simulator);
#endif
}

// read, info, ioctl and (simulator) check.
void AddDeviceCommands(CLI::App& app, Parsed& p)
{
    app.add_subcommand("read", "Read every channel (the default command)");
    p.info = app.add_subcommand(
        "info", "Show the chip description, the voltage list, the info block and the values the "
                "driver published");
    p.ioctl = app.add_subcommand("ioctl", "Send one raw device-control request");
    p.ioctl
        ->add_option("CODE", p.codeText,
                     "Control code: a number (0x222410) or a name "
                     "(IOCTL_HWM_GET_CHIP_INFO)")
        ->required();
    p.ioctl->add_option("--input", p.inputText, "Input bytes in hex (\"05000000\")")
        ->type_name("HEX");
    p.line.ioctl.request.outputLength = 1024;
    p.ioctl
        ->add_option("--output-length", p.line.ioctl.request.outputLength,
                     "Output buffer length (default 1024, at most " +
                         std::to_string(kMaxOutputLength) + ")")
        ->transform(Strict(ParseOutputLength,
                           "a length from 0 to " + std::to_string(kMaxOutputLength) + " bytes"))
        ->type_name("N");
#if !defined(_WIN32)
    p.check = app.add_subcommand("check", "Check a board configuration before it ships");
    p.check->add_option("--chip", p.chip, "Check for this chip instead of the board's")
        ->type_name("NAME");
#endif
}

void AddServeOptions(CLI::App* command, ServeOptions& options)
{
    command
        ->add_option("--listen", options.listen,
                     "Address and port to serve on (default 127.0.0.1:9788; 0.0.0.0:9788 "
                     "for every interface); may be given several times")
        ->type_name("ADDR:PORT")
        ->allow_extra_args(false);
    command
        ->add_option("--allowed-host", options.allowedHosts,
                     "Answer only requests for this Host name (or an IP address); may be given "
                     "several times (default: any name)")
        ->type_name("NAME")
        ->allow_extra_args(false);
    command
        ->add_option("--interval", options.intervalSeconds,
                     "Seconds between the dashboard's readings (default 2)")
        ->type_name("SECONDS");
    command
        ->add_option("--web.config.file", options.webConfigFile,
                     "YAML file with TLS (tls_server_config) and basic auth (basic_auth_users), "
                     "as Prometheus exporters read it"
#if defined(_WIN32)
                     "; TLS by the system's SChannel, with an RSA key and no client certificates"
#endif
                     )
        ->type_name("FILE");
}

// read's --format and --output, serve and (Windows) service.
void AddMonitoringCommands(CLI::App& app, Parsed& p)
{
    p.formatOption =
        app.add_option("--format", p.format, "read: text (default), json or prometheus")
            ->check(CLI::IsMember({"text", "json", "prometheus"}))
            ->type_name("FORMAT");
    p.failOnAlarmOption =
        app.add_flag("--fail-on-alarm", p.failOnAlarm,
                     "read: exit with status 3 when a channel is out of range or a fan stopped");
    p.outputOption = app.add_option("--output", p.output,
                                    "read --format prometheus: replace FILE atomically "
                                    "instead of writing to standard output")
                         ->type_name("FILE");
    p.serve = app.add_subcommand(
        "serve", "Serve the readings over HTTP: a live dashboard at /, Prometheus metrics at "
                 "/metrics, JSON at /api/readings");
    AddServeOptions(p.serve, p.line.serve);
#if !defined(_WIN32)
    p.serve->footer("Simulator: SIGUSR1 surprise-removes the device, SIGUSR2 brings it back.");
#else
    CLI::App* service = app.add_subcommand("service", "Run `serve` as a Windows service at boot");
    service->require_subcommand(1);
    p.serviceInstall = service->add_subcommand(
        "install", "Install (or update) and start the KwoTarvMonitor service");
    AddServeOptions(p.serviceInstall, p.line.serve);
    p.serviceUninstall =
        service->add_subcommand("uninstall", "Stop and remove the KwoTarvMonitor service");
    p.serviceRun = service->add_subcommand(
        "run", "The service's entry point (started by the service control manager)");
    AddServeOptions(p.serviceRun, p.line.serve);
    p.serviceRun->group("");
#endif
}

Command ParsedCommand(const Parsed& p)
{
    if (p.info->parsed())
        return Command::Info;
    if (p.ioctl->parsed())
        return Command::Ioctl;
    if (p.serve->parsed())
        return Command::Serve;
#if defined(_WIN32)
    if (p.serviceInstall->parsed())
        return Command::ServiceInstall;
    if (p.serviceUninstall->parsed())
        return Command::ServiceUninstall;
    if (p.serviceRun->parsed())
        return Command::ServiceRun;
#else
    if (p.check->parsed())
        return Command::Check;
#endif
    return Command::Read;
}

// ioctl's CODE and --input as a request.
void ParseRawRequest(const Parsed& p, RawRequest& request)
{
    auto code = ParseControlCode(p.codeText);
    if (!code)
        throw ToolError("'" + p.codeText +
                            "' is not a control code; give a number such as 0x222410 or a "
                            "name such as IOCTL_HWM_GET_CHIP_INFO",
                        kExitUsage);
    auto input = ParseHexBytes(p.inputText);
    if (!input)
        throw ToolError("--input: '" + p.inputText +
                            "' is not hex bytes; write them like 05000000 or \"05 00 00 00\"",
                        kExitUsage);
    request.code = *code;
    request.input = *input;
}

// The read's options; --format and --output belong to it alone.
ReadOptions ReadOptionsOf(const Parsed& p, bool reading, bool json)
{
    const bool formatGiven = p.formatOption->count() > 0;
    if (formatGiven && !reading)
        throw ToolError("--format applies to the read command only", kExitUsage);
    if (p.outputOption->count() > 0 && !(reading && p.format == "prometheus"))
        throw ToolError("--output applies to read --format prometheus", kExitUsage);
    if (formatGiven && p.json && p.format != "json")
        throw ToolError("--json and --format " + p.format + " contradict each other", kExitUsage);

    ReadOptions read;
    read.format = p.format == "prometheus" ? OutputFormat::Prometheus
                  : json                   ? OutputFormat::Json
                                           : OutputFormat::Text;
    if (p.watchOption->count() > 0)
        read.watchSeconds = p.watchSeconds;
    if (p.countOption->count() > 0)
        read.count = p.count;
    if (p.outputOption->count() > 0)
        read.output = p.output;
    read.failOnAlarm = p.failOnAlarm;
    read.bus.timeoutMs = p.busLockTimeoutMs;
    return read;
}

// The parsed command line checked and resolved.
CommandLine Interpret(Parsed& p)
{
    CommandLine line = std::move(p.line);
    line.command = ParsedCommand(p);
    const bool reading = line.command == Command::Read;
    if (!reading && (p.watchOption->count() > 0 || p.countOption->count() > 0))
        throw ToolError("--watch and --count apply to the read command only", kExitUsage);
    if (!reading && p.failOnAlarmOption->count() > 0)
        throw ToolError("--fail-on-alarm applies to the read command only", kExitUsage);
    if (line.command == Command::Ioctl)
        ParseRawRequest(p, line.ioctl.request);

    const bool json = p.json || p.format == "json";
    line.info.json = json;
    line.ioctl.json = json;
    line.ioctl.bus.timeoutMs = p.busLockTimeoutMs;
    line.serve.busLockTimeoutMs = p.busLockTimeoutMs;
#if !defined(_WIN32)
    // check takes its output form from --json or --format json and ignores the read's options.
    line.check.json = json;
    if (!p.chip.empty())
        line.check.chip = p.chip;
    if (line.command == Command::Check)
        return line;
#endif
    line.read = ReadOptionsOf(p, reading, json);
    return line;
}

} // namespace

std::variant<CommandLine, int> ParseCommandLine(int argc, char** argv)
{
    CLI::App app{"Reads voltages, temperatures and fans from the KwoTarv hardware-monitor driver.",
                 "kwotarv"};
    app.footer("Exit status: 0 success, 1 the device did not start or a request failed, "
               "2 usage error, 3 a channel in alarm (read --fail-on-alarm).");
    app.require_subcommand(0, 1);
    app.set_version_flag("-V,--version", VersionText,
                         "Print the version and build type (on Windows also the driver's)");

    Parsed p;
    AddCommonOptions(app, p);
    AddDeviceCommands(app, p);
    AddMonitoringCommands(app, p);
    for (CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; }))
        sub->fallthrough();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int status = app.exit(error);
        return status == 0 ? kExitSuccess : kExitUsage;
    }
    return Interpret(p);
}

} // namespace kwotarv
