// `kwotarv serve` on a hostile network: slow clients from another address while a scraper
// scrapes, descriptors running out, a full connection table, requests for other Host names, and
// several listening addresses. Attackers bind to 127.0.0.2 and up (all of 127/8 is loopback on
// Linux); the scraper comes from 127.0.0.1.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <thread>

#include <httplib.h>

#include "kwotarv/peer_process.hpp"
#include "kwotarv/tool_process.hpp"

namespace {

using namespace std::chrono_literals;
using servetest::ServeProcess;
using Clock = std::chrono::steady_clock;

// A non-blocking TCP connection from `source` to `port` on 127.0.0.1 (or on ::1 for `v6`).
int ConnectFrom(const char* source, uint16_t port, bool v6 = false)
{
    const int s = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    fcntl(s, F_SETFL, fcntl(s, F_GETFL, 0) | O_NONBLOCK);
    if (v6) {
        sockaddr_in6 to{};
        to.sin6_family = AF_INET6;
        to.sin6_port = htons(port);
        to.sin6_addr = in6addr_loopback;
        connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to);
        return s;
    }
    sockaddr_in from{}, to{};
    from.sin_family = to.sin_family = AF_INET;
    inet_pton(AF_INET, source, &from.sin_addr);
    bind(s, reinterpret_cast<sockaddr*>(&from), sizeof from);
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to);
    return s;
}

// What the server sent on `s` until it closed, or until `wait` passed.
std::string ReadAll(int s, std::chrono::milliseconds wait)
{
    std::string answer;
    const auto end = Clock::now() + wait;
    for (;;) {
        char buffer[4096];
        const auto n = recv(s, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            answer.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (n == 0 || errno != EAGAIN || Clock::now() >= end)
            return answer;
        pollfd p{s, POLLIN, 0};
        poll(&p, 1, 50);
    }
}

// One request sent whole; the answer as received.
std::string Exchange(uint16_t port, const std::string& request, bool v6 = false)
{
    const int s = ConnectFrom("127.0.0.1", port, v6);
    pollfd p{s, POLLOUT, 0};
    poll(&p, 1, 2000);
    send(s, request.data(), request.size(), MSG_NOSIGNAL);
    std::string answer = ReadAll(s, 5s);
    close(s);
    return answer;
}

// Slow clients: each sends one byte of an endless request head a second and connects again
// once the server has answered or closed. Counts the answers by status line.
class SlowClients {
  public:
    SlowClients(uint16_t port, const char* source, int count)
        : thread_([=, this] {
              std::vector<int> sockets(static_cast<size_t>(count), -1);
              while (!stop_) {
                  for (int& s : sockets) {
                      if (s != -1 && Answered(s)) {
                          close(s);
                          s = -1;
                      }
                      if (s == -1)
                          s = ConnectFrom(source, port);
                      send(s, "X", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
                  }
                  std::this_thread::sleep_for(1s);
              }
              for (int s : sockets)
                  close(s);
          })
    {
    }
    ~SlowClients()
    {
        stop_ = true;
        thread_.join();
    }
    int Count(const std::string& status) const
    {
        return status == "408" ? timedOut_.load() : status == "503" ? refused_.load() : 0;
    }

  private:
    bool Answered(int s)
    {
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0)
            return false;
        const std::string answer = ReadAll(s, 0ms);
        timedOut_ += answer.rfind("HTTP/1.1 408 ", 0) == 0;
        refused_ += answer.rfind("HTTP/1.1 503 ", 0) == 0;
        return true;
    }
    std::atomic<bool> stop_{false};
    std::atomic<int> timedOut_{0}, refused_{0};
    std::thread thread_;
};

// A scrape from 127.0.0.1 within `deadline`: its status, 0 when none came in time.
int Scrape(uint16_t port, std::chrono::milliseconds deadline)
{
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(deadline);
    client.set_read_timeout(deadline);
    const auto start = Clock::now();
    const auto response = client.Get("/metrics");
    if (!response || Clock::now() - start > deadline)
        return 0;
    return response->status;
}

// CPU seconds the process used so far (user and system).
double CpuSeconds(int pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i >= 14) // utime, stime
            ticks += std::stod(field);
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

class HostileClientsTest : public ::testing::Test {
  protected:
    tooltest::ScratchDir scratch_;
};

TEST_F(HostileClientsTest, ScrapesAreAnsweredWhileSlowClientsAttack)
{
    ServeProcess serve({}, scratch_.Path(""));
    {
        SlowClients attack(serve.Port(), "127.0.0.2", 300);
        std::this_thread::sleep_for(1500ms);
        // Longer than the 5 s head deadline: the attackers have had their 408s and are back.
        for (int i = 0; i < 14; ++i) {
            EXPECT_EQ(Scrape(serve.Port(), 2000ms), 200) << "scrape " << i;
            std::this_thread::sleep_for(500ms);
        }
        EXPECT_GT(attack.Count("408"), 0) << "the head deadline did not end slow heads";
        EXPECT_GT(attack.Count("503"), 0) << "clients over their share are answered 503";
    }
    EXPECT_EQ(serve.Process().Stop(), 0) << serve.Err();
}

TEST_F(HostileClientsTest, RunningOutOfDescriptorsNeitherSpinsNorSticks)
{
    ServeProcess serve({}, scratch_.Path(""));
    // The limit lowered under the running server, below what its connection table allows.
    const rlimit low{40, 40};
    ASSERT_EQ(prlimit(serve.Process().Pid(), RLIMIT_NOFILE, &low, nullptr), 0);
    std::vector<int> clients;
    for (int i = 0; i < 60; ++i)
        clients.push_back(ConnectFrom("127.0.0.3", serve.Port()));
    std::this_thread::sleep_for(300ms);

    const double before = CpuSeconds(serve.Process().Pid());
    std::this_thread::sleep_for(1s);
    EXPECT_LT(CpuSeconds(serve.Process().Pid()) - before, 0.2) << "accept() spins";

    int refused = 0;
    for (int s : clients) {
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, 0) > 0)
            refused += ReadAll(s, 100ms).rfind("HTTP/1.1 503 ", 0) == 0;
        close(s);
    }
    EXPECT_GT(refused, 0) << "waiting clients are answered 503 when no descriptor is left";
    EXPECT_TRUE(servetest::WaitUntil([&] { return Scrape(serve.Port(), 2000ms) == 200; }, 5s));
    EXPECT_EQ(serve.Process().Stop(), 0) << serve.Err();
}

TEST_F(HostileClientsTest, AFullServerAnswers503)
{
    // 48 descriptors leave room for 24 connections; the limit is set before the server starts.
    // Connections are accepted in the order they were made, so the last one finds it full.
    ServeProcess serve({}, scratch_.Path(""),
                       {"/bin/sh", "-c", "ulimit -n 48 && exec \"$0\" \"$@\"", KWOTARV_TOOL});
    std::vector<int> idle;
    for (int i = 0; i < 30; ++i)
        idle.push_back(ConnectFrom("127.0.0.4", serve.Port()));
    std::this_thread::sleep_for(300ms);
    const std::string full = Exchange(serve.Port(), "GET /metrics HTTP/1.1\r\nHost: a\r\n\r\n");
    EXPECT_EQ(full.rfind("HTTP/1.1 503 Service Unavailable\r\n", 0), 0u) << full;
    for (int s : idle)
        close(s);
    EXPECT_TRUE(servetest::WaitUntil([&] { return Scrape(serve.Port(), 2000ms) == 200; }, 5s));
    EXPECT_EQ(serve.Process().Stop(), 0) << serve.Err();
}

TEST_F(HostileClientsTest, HostIsRequiredAndCheckedAgainstTheAllowList)
{
    ServeProcess serve({"--allowed-host", "monitor.example"}, scratch_.Path(""));
    const struct {
        const char* request;
        const char* status;
    } cases[] = {
        {"GET /metrics HTTP/1.1\r\n\r\n", "400 Bad Request"},
        {"GET /metrics HTTP/1.1\r\nHost: evil.example:9788\r\n\r\n", "421 Misdirected Request"},
        {"GET /metrics HTTP/1.1\r\nHost: MONITOR.example:9788\r\n\r\n", "200 OK"},
        {"GET /metrics HTTP/1.1\r\nHost: 127.0.0.1:9788\r\n\r\n", "200 OK"},
        {"GET /metrics HTTP/1.0\r\n\r\n", "421 Misdirected Request"},
    };
    for (const auto& c : cases) {
        const std::string answer = Exchange(serve.Port(), c.request);
        EXPECT_EQ(answer.rfind(std::string("HTTP/1.1 ") + c.status + "\r\n", 0), 0u) << answer;
        EXPECT_NE(answer.find("\r\nDate: "), std::string::npos) << answer;
    }
    EXPECT_EQ(tooltest::RunTool({"serve", "--allowed-host", "a b"}).exitCode, 2);
}

TEST_F(HostileClientsTest, EveryListenAddressIsServed)
{
    ServeProcess serve({"--listen", "[::1]:0"}, scratch_.Path(""));
    const std::string out = serve.Out();
    const std::string marker = "serving http://[::1]:";
    ASSERT_NE(out.find(marker), std::string::npos) << out;
    const auto v6Port =
        static_cast<uint16_t>(std::stoi(out.substr(out.find(marker) + marker.size())));
    EXPECT_EQ(Exchange(v6Port, "GET /metrics HTTP/1.1\r\nHost: [::1]\r\n\r\n", true)
                  .rfind("HTTP/1.1 200 OK\r\n", 0),
              0u);
    EXPECT_EQ(Scrape(serve.Port(), 2000ms), 200);

    // An address that cannot be listened on is named.
    const std::string taken = "127.0.0.1:" + std::to_string(serve.Port());
    const auto run = tooltest::RunTool({"serve", "--listen", "[::1]:0", "--listen", taken});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find(taken), std::string::npos) << run.err;
}

} // namespace
