// The Windows service around `serve`: installation through the service control manager, the
// service's main routine and its control handler (stop, shutdown), the log file, and the alarm
// transitions written to the event log and the log file.
#include "windows/service.hpp"

#include <windows.h>
#include <shlobj.h>

#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <utility>

#include "backends/windows_backend.hpp"
#include "client/alarm_transitions.hpp"
#include "commands/watch_pacing.hpp"
#include "serve/http_server.hpp"
#include "serve/sensor_monitor.hpp"
#include "windows/event_log.hpp"
#include "windows/system_message.hpp"
#include "windows/wide_text.hpp"

namespace kwotarv {

namespace {

constexpr wchar_t kDisplayName[] = L"KwoTarv hardware monitor (Prometheus exporter)";
constexpr wchar_t kDescription[] =
    L"Serves the KwoTarv hardware monitor's readings over HTTP: Prometheus metrics at /metrics "
    L"and a live dashboard at /. Log: %ProgramData%\\KwoTarv\\service.log";
constexpr DWORD kWaitMilliseconds = 15000;

// Closes a service handle at the end of its scope.
class ServiceHandle {
  public:
    explicit ServiceHandle(SC_HANDLE handle) : handle_(handle) {}
    ~ServiceHandle()
    {
        if (handle_ != nullptr)
            CloseServiceHandle(handle_);
    }
    ServiceHandle(ServiceHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr))
    {
    }
    ServiceHandle& operator=(ServiceHandle&& other) noexcept
    {
        if (this != &other) {
            if (handle_ != nullptr)
                CloseServiceHandle(handle_);
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }
    SC_HANDLE Get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

  private:
    SC_HANDLE handle_;
};

ServiceHandle OpenManager(DWORD access)
{
    ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, access));
    if (!manager) {
        const DWORD error = GetLastError();
        if (error == ERROR_ACCESS_DENIED)
            throw ToolError("the service control manager refused access: run kwotarv.exe from "
                            "an elevated command prompt",
                            kExitFailure);
        throw ToolError("cannot open the service control manager: " + SystemErrorText(error),
                        kExitFailure);
    }
    return manager;
}

// Waits while the service is in `pending`; returns its state then.
DWORD WaitWhile(SC_HANDLE service, DWORD pending)
{
    SERVICE_STATUS status{};
    const ULONGLONG end = GetTickCount64() + kWaitMilliseconds;
    while (QueryServiceStatus(service, &status) && status.dwCurrentState == pending &&
           GetTickCount64() < end)
        Sleep(200);
    return status.dwCurrentState;
}

std::wstring Quoted(const std::wstring& text)
{
    return L"\"" + text + L"\"";
}

// The service's --bus-lock-timeout, when it is not the default.
std::wstring BusLockTimeoutArgument(const ServeOptions& options)
{
    if (options.busLockTimeoutMs == kDefaultBusLockTimeoutMs)
        return {};
    return L" --bus-lock-timeout " + std::to_wstring(options.busLockTimeoutMs);
}

std::string Joined(const std::vector<std::string>& items, const std::string& separator)
{
    std::string out;
    for (const auto& item : items)
        out += (out.empty() ? "" : separator) + item;
    return out;
}

void CheckOptions(const ServeOptions& options)
{
    for (const auto& listen : options.listen) {
        std::string host;
        uint16_t port = 0;
        if (!SplitListenAddress(listen, host, port))
            throw ToolError("--listen: '" + listen + "' is not ADDRESS:PORT", kExitUsage);
    }
    CheckAllowedHosts(options);
    if (!(options.intervalSeconds >= kMinIntervalSeconds &&
          options.intervalSeconds <= kMaxIntervalSeconds))
        throw ToolError("--interval: give seconds from 0.2 to 3600", kExitUsage);
    CheckWebConfig(options);
}

// ---- the service process --------------------------------------------------------------------

// A stream buffer that writes whole lines to the log file, each with a UTC timestamp.
class LogBuffer : public std::streambuf {
  public:
    explicit LogBuffer(const std::filesystem::path& file)
        : file_(file, std::ios::app | std::ios::binary)
    {
    }
    bool IsOpen() const { return file_.is_open(); }

  protected:
    int overflow(int c) override
    {
        if (c == traits_type::eof())
            return 0;
        std::lock_guard lock(mutex_);
        if (c == '\n') {
            file_ << IsoTimestamp(UnixMillisNow()) << " " << line_ << "\r\n";
            file_.flush();
            line_.clear();
        } else {
            line_ += static_cast<char>(c);
        }
        return c;
    }

  private:
    std::ofstream file_;
    std::mutex mutex_;
    std::string line_;
};

struct ServiceState {
    ServeOptions options;
    SERVICE_STATUS_HANDLE statusHandle = nullptr;
    SERVICE_STATUS status{};
    std::mutex mutex;
};
ServiceState gService;

void ReportStatus(DWORD state, DWORD exitCode = NO_ERROR, DWORD specific = 0, DWORD waitHint = 0)
{
    std::lock_guard lock(gService.mutex);
    SERVICE_STATUS& s = gService.status;
    s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    s.dwCurrentState = state;
    s.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    s.dwWin32ExitCode = exitCode;
    s.dwServiceSpecificExitCode = specific;
    s.dwWaitHint = waitHint;
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    s.dwCheckPoint = pending ? s.dwCheckPoint + 1 : 0;
    SetServiceStatus(gService.statusHandle, &s);
}

DWORD WINAPI ControlHandler(DWORD control, DWORD, LPVOID, LPVOID)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        ReportStatus(SERVICE_STOP_PENDING, NO_ERROR, 0, 5000);
        RequestStop();
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

// Each alarm transition to the log file and as an event log entry.
void ReportAlarms(const std::vector<AlarmTransition>& transitions, EventLogWriter& events,
                  std::ostream& log)
{
    for (const auto& transition : transitions) {
        log << "kwotarv: " << TransitionText(transition) << "\n";
        if (!events.Report(transition))
            log << "kwotarv: the event log entry could not be written: "
                << SystemErrorText(GetLastError()) << "\n";
    }
}

void WINAPI ServiceMain(DWORD, LPWSTR*)
{
    gService.statusHandle = RegisterServiceCtrlHandlerExW(kServiceName, ControlHandler, nullptr);
    if (gService.statusHandle == nullptr)
        return;
    ReportStatus(SERVICE_START_PENDING, NO_ERROR, 0, 5000);

    std::error_code ignored;
    std::filesystem::create_directories(ServiceLogPath().parent_path(), ignored);
    LogBuffer buffer(ServiceLogPath());
    std::ostream log(&buffer);
    log << "kwotarv: service starting (listen " << Joined(gService.options.listen, ", ")
        << ", interval " << gService.options.intervalSeconds << " s)\n";

    int status = kExitFailure;
    ReportStatus(SERVICE_RUNNING);
    try {
        std::unique_ptr<Backend> backend = MakeDeviceBackend();
        AlarmTracker alarms;
        EventLogWriter events;
        status = RunServe(*backend, gService.options, log, log, [&](const Sample& sample) {
            if (sample.up) // no verdict without a complete reading
                ReportAlarms(alarms.Update(sample.readings), events, log);
        });
        backend->Finish(log);
    } catch (const ToolError& error) {
        log << "kwotarv: " << error.what() << "\n";
        status = error.ExitCode();
    } catch (const std::exception& error) {
        log << "kwotarv: unexpected failure: " << error.what() << "\n";
    }
    log << "kwotarv: service stopped (exit status " << status << ")\n";
    if (status == kExitSuccess)
        ReportStatus(SERVICE_STOPPED);
    else
        ReportStatus(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR, static_cast<DWORD>(status));
}

} // namespace

std::filesystem::path ServiceLogPath()
{
    // The common application data folder (%ProgramData%), the same for the service and for
    // the console that installs it.
    wchar_t data[MAX_PATH] = {};
    std::filesystem::path base = L"C:\\ProgramData";
    if (SUCCEEDED(
            SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, data)))
        base = data;
    return base / L"KwoTarv" / L"service.log";
}

int InstallService(const ServeOptions& options, std::ostream& out, std::ostream&)
{
    CheckOptions(options);
    wchar_t exe[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, exe, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        throw ToolError("cannot tell where kwotarv.exe is: " + SystemErrorText(GetLastError()),
                        kExitFailure);
    std::wostringstream interval;
    interval << options.intervalSeconds;
    std::wstring command = Quoted(exe) + L" service run";
    for (const auto& listen : options.listen)
        command += L" --listen " + Quoted(Wide(listen));
    command += L" --interval " + interval.str() + BusLockTimeoutArgument(options);
    for (const auto& name : options.allowedHosts)
        command += L" --allowed-host " + Quoted(Wide(name));
    // The service starts in the system folder: the file by its full name.
    if (!options.webConfigFile.empty())
        command += L" --web.config.file " +
                   Quoted(std::filesystem::absolute(Wide(options.webConfigFile)).wstring());

    ServiceHandle manager = OpenManager(SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE);
    RegisterEventLogSource(exe);
    ServiceHandle service(OpenServiceW(manager.Get(), kServiceName, SERVICE_ALL_ACCESS));
    if (service) {
        // Already installed: take the new command line, restart if it runs.
        SERVICE_STATUS status{};
        if (ControlService(service.Get(), SERVICE_CONTROL_STOP, &status))
            WaitWhile(service.Get(), SERVICE_STOP_PENDING);
        if (!ChangeServiceConfigW(service.Get(), SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                  SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, nullptr,
                                  nullptr, nullptr, kDisplayName))
            throw ToolError("cannot update the service: " + SystemErrorText(GetLastError()),
                            kExitFailure);
        out << "Updated the service KwoTarvMonitor\n";
    } else {
        service = ServiceHandle(CreateServiceW(
            manager.Get(), kServiceName, kDisplayName, SERVICE_ALL_ACCESS,
            SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command.c_str(),
            nullptr, nullptr, nullptr, nullptr /* LocalSystem */, nullptr));
        if (!service)
            throw ToolError("cannot create the service: " + SystemErrorText(GetLastError()),
                            kExitFailure);
        out << "Installed the service KwoTarvMonitor (starts at boot)\n";
    }

    SERVICE_DESCRIPTIONW description{const_cast<wchar_t*>(kDescription)};
    ChangeServiceConfig2W(service.Get(), SERVICE_CONFIG_DESCRIPTION, &description);
    // Restarted by the system when it fails, after 10 s, then after a minute.
    SC_ACTION actions[] = {
        {SC_ACTION_RESTART, 10000}, {SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}};
    SERVICE_FAILURE_ACTIONSW failure{};
    failure.dwResetPeriod = 24 * 3600;
    failure.cActions = static_cast<DWORD>(std::size(actions));
    failure.lpsaActions = actions;
    ChangeServiceConfig2W(service.Get(), SERVICE_CONFIG_FAILURE_ACTIONS, &failure);
    // Also when the service stops with an error (the port taken at boot), not only on a crash.
    SERVICE_FAILURE_ACTIONS_FLAG onErrors{TRUE};
    ChangeServiceConfig2W(service.Get(), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &onErrors);

    if (!StartServiceW(service.Get(), 0, nullptr) &&
        GetLastError() != ERROR_SERVICE_ALREADY_RUNNING)
        throw ToolError("the service did not start: " + SystemErrorText(GetLastError()) + "; see " +
                            ServiceLogPath().string(),
                        kExitFailure);
    const DWORD state = WaitWhile(service.Get(), SERVICE_START_PENDING);
    if (state != SERVICE_RUNNING)
        throw ToolError("the service did not keep running; see " + ServiceLogPath().string(),
                        kExitFailure);
    out << "Started: http://" << Joined(options.listen, "/, http://")
        << "/ (log: " << ServiceLogPath().string() << ")\n";
    return kExitSuccess;
}

int UninstallService(std::ostream& out, std::ostream&)
{
    ServiceHandle manager = OpenManager(SC_MANAGER_CONNECT);
    RemoveEventLogSource();
    ServiceHandle service(
        OpenServiceW(manager.Get(), kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (!service) {
        const DWORD error = GetLastError();
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
            out << "The service KwoTarvMonitor is not installed\n";
            return kExitSuccess;
        }
        throw ToolError("cannot open the service: " + SystemErrorText(error), kExitFailure);
    }
    SERVICE_STATUS status{};
    if (ControlService(service.Get(), SERVICE_CONTROL_STOP, &status)) {
        if (WaitWhile(service.Get(), SERVICE_STOP_PENDING) != SERVICE_STOPPED)
            throw ToolError("the service did not stop in time", kExitFailure);
    }
    if (!DeleteService(service.Get()))
        throw ToolError("cannot delete the service: " + SystemErrorText(GetLastError()),
                        kExitFailure);
    out << "Removed the service KwoTarvMonitor\n";
    return kExitSuccess;
}

int RunService(const ServeOptions& options)
{
    CheckOptions(options);
    gService.options = options;
    static wchar_t name[] = L"KwoTarvMonitor";
    SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) {
        const DWORD error = GetLastError();
        if (error == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)
            throw ToolError("'service run' is started by the service control manager; in a "
                            "console, use 'kwotarv serve'",
                            kExitUsage);
        throw ToolError("cannot reach the service control manager: " + SystemErrorText(error),
                        kExitFailure);
    }
    return kExitSuccess;
}

} // namespace kwotarv
