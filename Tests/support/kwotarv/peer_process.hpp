// Programs the monitoring tests run beside themselves: `kwotarv serve`, Prometheus,
// node_exporter, Chromium. Each runs in its own process group, with its output in files, and
// is ended (the whole group) when the object goes.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace servetest {

class PeerProcess {
  public:
    // Starts `argv` (argv[0] a path) with `extraEnv` ("NAME=value") added to the environment.
    PeerProcess(std::vector<std::string> argv, const std::string& outFile,
                const std::string& errFile, std::vector<std::string> extraEnv = {},
                const std::string& inFile = "/dev/null");
    ~PeerProcess();
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    int Pid() const { return pid_; }
    void Signal(int signal) const;
    // Waits for the exit; nullopt after `timeout` (the process still runs).
    std::optional<int> Wait(std::chrono::milliseconds timeout);
    // SIGTERM, then SIGKILL for the group after `grace`; the exit status (128 + signal when
    // killed).
    int Stop(std::chrono::milliseconds grace = std::chrono::milliseconds(5000));
    bool Running();

  private:
    int pid_ = -1;
    std::optional<int> status_;
};

// `kwotarv serve --listen 127.0.0.1:0` with the given extra arguments; waits for the address
// it prints (http or https). `command` runs another build of the tool (["wine", "kwotarv.exe"]).
class ServeProcess {
  public:
    ServeProcess(const std::vector<std::string>& args, const std::string& dir,
                 std::vector<std::string> command = {KWOTARV_TOOL},
                 std::vector<std::string> extraEnv = {});
    uint16_t Port() const { return port_; }
    PeerProcess& Process() { return *process_; }
    std::string Out() const;
    std::string Err() const;

  private:
    std::string outFile_, errFile_;
    std::unique_ptr<PeerProcess> process_;
    uint16_t port_ = 0;
};

// A program on the PATH (or at one of `candidates`); empty when absent.
std::string FindProgram(const std::string& name, const std::vector<std::string>& candidates = {});

// A port that was free a moment ago on 127.0.0.1 (for peers that cannot report theirs).
uint16_t FreePort();

// Repeats `check` every 100 ms until it returns true or `timeout` passes.
bool WaitUntil(const std::function<bool()>& check, std::chrono::milliseconds timeout);

struct HttpResult {
    int status = 0; // 0: no answer
    std::string body;
    std::string contentType;
};
HttpResult HttpGet(uint16_t port, const std::string& path);

// Prometheus' answer to an instant query (`query` URL-encoded): the value of each series by its
// "channel" label (or "" for a series without one); empty when Prometheus does not answer.
std::map<std::string, std::string> PrometheusQuery(uint16_t port, const std::string& query);

} // namespace servetest
