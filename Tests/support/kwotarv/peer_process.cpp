// Running the peer programs of the monitoring tests.
#include "kwotarv/peer_process.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "kwotarv/tool_process.hpp"

namespace servetest {

PeerProcess::PeerProcess(std::vector<std::string> argv, const std::string& outFile,
                         const std::string& errFile, std::vector<std::string> extraEnv,
                         const std::string& inFile)
    : pid_(tooltest::SpawnProgram(std::move(argv), inFile, outFile, errFile, extraEnv,
                                  /*ownGroup=*/true))
{
}

PeerProcess::~PeerProcess()
{
    if (!status_)
        Stop(std::chrono::milliseconds(2000));
}

void PeerProcess::Signal(int signal) const
{
    kill(pid_, signal);
}

std::optional<int> PeerProcess::Wait(std::chrono::milliseconds timeout)
{
    if (status_)
        return status_;
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return status_;
        }
        if (std::chrono::steady_clock::now() >= end)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool PeerProcess::Running()
{
    return !Wait(std::chrono::milliseconds(0)).has_value();
}

int PeerProcess::Stop(std::chrono::milliseconds grace)
{
    if (status_)
        return *status_;
    kill(pid_, SIGTERM);
    if (auto status = Wait(grace)) {
        kill(-pid_, SIGKILL); // helpers the program left in its group
        return *status;
    }
    kill(-pid_, SIGKILL);
    return Wait(std::chrono::milliseconds(5000)).value_or(-1);
}

ServeProcess::ServeProcess(const std::vector<std::string>& args, const std::string& dir,
                           std::vector<std::string> command, std::vector<std::string> extraEnv)
    : outFile_(dir + "/serve.out"), errFile_(dir + "/serve.err")
{
    std::vector<std::string> argv = std::move(command);
    for (const char* arg : {"serve", "--listen", "127.0.0.1:0"})
        argv.push_back(arg);
    argv.insert(argv.end(), args.begin(), args.end());
    process_ = std::make_unique<PeerProcess>(argv, outFile_, errFile_, std::move(extraEnv));
    const std::string marker = "://127.0.0.1:"; // after "serving http" or "serving https"
    WaitUntil(
        [&] {
            const std::string out = Out();
            const size_t serving = out.find("serving http");
            const size_t at = serving == std::string::npos ? serving : out.find(marker, serving);
            if (at == std::string::npos)
                return !process_->Running();
            port_ = static_cast<uint16_t>(std::stoi(out.substr(at + marker.size())));
            return true;
        },
        std::chrono::milliseconds(60000));
    if (port_ == 0)
        throw std::runtime_error("kwotarv serve did not start: " + Err());
}

std::string ServeProcess::Out() const
{
    return tooltest::ReadText(outFile_);
}

std::string ServeProcess::Err() const
{
    return tooltest::ReadText(errFile_);
}

std::string FindProgram(const std::string& name, const std::vector<std::string>& candidates)
{
    for (const auto& c : candidates)
        if (access(c.c_str(), X_OK) == 0)
            return c;
    const char* path = getenv("PATH");
    std::string list = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= list.size()) {
        const size_t end = std::min(list.find(':', start), list.size());
        const std::string file = list.substr(start, end - start) + "/" + name;
        if (end > start && access(file.c_str(), X_OK) == 0)
            return file;
        start = end + 1;
    }
    return {};
}

uint16_t FreePort()
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    close(s);
    return ntohs(address.sin_port);
}

bool WaitUntil(const std::function<bool()>& check, std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (check())
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

HttpResult HttpGet(uint16_t port, const std::string& path)
{
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(std::chrono::seconds(5));
    client.set_read_timeout(std::chrono::seconds(10));
    HttpResult result;
    if (auto response = client.Get(path)) {
        result.status = response->status;
        result.body = response->body;
        result.contentType = response->get_header_value("Content-Type");
    }
    return result;
}

std::map<std::string, std::string> PrometheusQuery(uint16_t port, const std::string& query)
{
    std::map<std::string, std::string> values;
    const auto r = HttpGet(port, "/api/v1/query?query=" + query);
    if (r.status != 200)
        return values;
    const auto json = nlohmann::json::parse(r.body);
    for (const auto& series : json["data"]["result"])
        values[series["metric"].value("channel", "")] = series["value"][1];
    return values;
}

} // namespace servetest
