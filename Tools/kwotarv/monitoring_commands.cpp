// Wiring of serve, service and --format/--output into the tool.
#include "monitoring_commands.hpp"
#include "commands.hpp"

#include <atomic>
#include <csignal>
#include <iostream>

#include "prometheus_export.hpp"

#if defined(_WIN32)
#include "windows_service.hpp"
#else
#include "simulator_backend.hpp"
#endif

namespace kwotarv {

namespace {

#if !defined(_WIN32)
// The simulator's hot plug for serve: SIGUSR1 removes the device, SIGUSR2 brings it back. The
// handlers only set flags; the next reading acts on them under the reading lock.
std::atomic<bool> gUnplugRequested{false};
std::atomic<bool> gReplugRequested{false};

extern "C" void OnUnplugSignal(int)
{
    gUnplugRequested = true;
}
extern "C" void OnReplugSignal(int)
{
    gReplugRequested = true;
}

std::function<void()> HotPlugHook(Backend& backend)
{
    HotPlug* hotPlug = FindHotPlug(backend);
    if (hotPlug == nullptr)
        return {};
    std::signal(SIGUSR1, OnUnplugSignal);
    std::signal(SIGUSR2, OnReplugSignal);
    return [hotPlug] {
        if (gUnplugRequested.exchange(false))
            hotPlug->Unplug();
        if (gReplugRequested.exchange(false))
            hotPlug->Replug();
    };
}
#endif

} // namespace

void AddMonitoringCommands(CLI::App& app, MonitoringCommandLine& cli)
{
    cli.formatOption =
        app.add_option("--format", cli.format, "read: text (default), json or prometheus")
            ->check(CLI::IsMember({"text", "json", "prometheus"}))
            ->type_name("FORMAT");
    cli.outputOption = app.add_option("--output", cli.output,
                                      "read --format prometheus: replace FILE atomically "
                                      "instead of writing to standard output")
                           ->type_name("FILE");

    auto addServeOptions = [&cli](CLI::App* command) {
        command
            ->add_option("--listen", cli.serveOptions.listen,
                         "Address and port to serve on (default 127.0.0.1:9788; 0.0.0.0:9788 "
                         "for every interface)")
            ->type_name("ADDR:PORT");
        command
            ->add_option("--interval", cli.serveOptions.intervalSeconds,
                         "Seconds between the dashboard's readings (default 2)")
            ->type_name("SECONDS");
    };
    cli.serve = app.add_subcommand(
        "serve", "Serve the readings over HTTP: a live dashboard at /, Prometheus metrics at "
                 "/metrics, JSON at /api/readings");
    addServeOptions(cli.serve);
#if !defined(_WIN32)
    cli.serve->footer("Simulator: SIGUSR1 surprise-removes the device, SIGUSR2 brings it back.");
#else
    cli.service = app.add_subcommand("service", "Run `serve` as a Windows service at boot");
    cli.service->require_subcommand(1);
    cli.serviceInstall = cli.service->add_subcommand(
        "install", "Install (or update) and start the KwoTarvMonitor service");
    addServeOptions(cli.serviceInstall);
    cli.serviceUninstall =
        cli.service->add_subcommand("uninstall", "Stop and remove the KwoTarvMonitor service");
    cli.serviceRun = cli.service->add_subcommand(
        "run", "The service's entry point (started by the service control manager)");
    addServeOptions(cli.serviceRun);
    cli.serviceRun->group("");
#endif
}

bool MonitoringCommandParsed(const MonitoringCommandLine& cli)
{
#if defined(_WIN32)
    if (cli.service->parsed())
        return true;
#endif
    return cli.serve->parsed();
}

std::optional<int>
RunMonitoringCommand(MonitoringCommandLine& cli, const ReadRequest& read,
                     const std::function<std::unique_ptr<Backend>()>& makeBackend)
{
    const bool formatGiven = cli.formatOption->count() > 0;
    if (formatGiven && !read.reading)
        throw ToolError("--format applies to the read command only", kExitUsage);
    if (cli.outputOption->count() > 0 && !(read.reading && cli.format == "prometheus"))
        throw ToolError("--output applies to read --format prometheus", kExitUsage);
    if (formatGiven && read.json && cli.format != "json")
        throw ToolError("--json and --format " + cli.format + " contradict each other", kExitUsage);

#if defined(_WIN32)
    if (cli.serviceInstall->parsed())
        return InstallService(cli.serveOptions, std::cout, std::cerr);
    if (cli.serviceUninstall->parsed())
        return UninstallService(std::cout, std::cerr);
    if (cli.serviceRun->parsed())
        return RunService(cli.serveOptions);
#endif
    if (cli.serve->parsed()) {
        InstallStopHandler();
        return WithBackend(makeBackend, [&](Backend& backend) {
#if defined(_WIN32)
            std::function<void()> beforeRead;
#else
            std::function<void()> beforeRead = HotPlugHook(backend);
#endif
            return RunServe(backend, cli.serveOptions, beforeRead, std::cout, std::cerr);
        });
    }
    if (read.reading && cli.format == "prometheus") {
        ExportOptions options;
        if (cli.outputOption->count() > 0)
            options.output = cli.output;
        options.watchSeconds = read.watchSeconds;
        options.count = read.count;
        InstallStopHandler();
        return WithBackend(makeBackend, [&](Backend& backend) {
            return RunPrometheusRead(backend, options, std::cout, std::cerr);
        });
    }
    return std::nullopt;
}

} // namespace kwotarv
