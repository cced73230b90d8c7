// `kwotarv serve` end to end on sample boards: the metrics against the hand-worked readings of
// Tests/kwotarv/commands/sample_boards_test.cpp, the JSON, the status codes, the device going away
// and coming back (SIGUSR1/SIGUSR2 on the simulator), concurrent and slow clients; and `read
// --format prometheus`.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "kwotarv/peer_process.hpp"
#include "kwotarv/tool_process.hpp"

namespace {

using servetest::HttpGet;
using servetest::ServeProcess;
using servetest::WaitUntil;
using tooltest::WriteText;
using namespace std::chrono_literals;

// The readings of Boards/nct6776 (the demo board) as samples.
const char* const kNct6776Samples[] = {
    "kwotarv_up 1\n",
    "kwotarv_chip_info{chip=\"NCT6776\",chipset_type=\"6\",description=\"Nuvoton NCT6776 "
    "Hardware Monitor\"} 1\n",
    "kwotarv_voltage_volts{channel=\"VCORE\",index=\"0\"} 1.00\n"
    "kwotarv_voltage_volts{channel=\"+12V\",index=\"1\"} 12.09\n"
    "kwotarv_voltage_volts{channel=\"AVCC\",index=\"2\"} 3.32\n"
    "kwotarv_voltage_volts{channel=\"3VCC\",index=\"3\"} 3.31\n"
    "kwotarv_voltage_volts{channel=\"+5V\",index=\"4\"} 5.02\n"
    "kwotarv_voltage_volts{channel=\"3VSB\",index=\"5\"} 3.32\n"
    "kwotarv_voltage_volts{channel=\"VBAT\",index=\"6\"} 3.21\n",
    "kwotarv_temperature_celsius{channel=\"CPU\",index=\"0\"} 45.0\n"
    "kwotarv_temperature_celsius{channel=\"System\",index=\"1\"} 33.5\n",
    "kwotarv_fan_raw{channel=\"CPU Fan\",index=\"0\"} 7172\n"
    "kwotarv_fan_raw{channel=\"System Fan\",index=\"1\"} 8965\n"
    "kwotarv_fan_raw{channel=\"Aux Fan\",index=\"2\"} 65311\n",
    "kwotarv_fan_rpm{channel=\"CPU Fan\",index=\"0\"} 1500\n"
    "kwotarv_fan_rpm{channel=\"System Fan\",index=\"1\"} 1200\n"
    "kwotarv_fan_rpm{channel=\"Aux Fan\",index=\"2\"} 0\n",
};

// The metrics without the lines that change from scrape to scrape.
std::string Stable(const std::string& metrics)
{
    std::string out;
    size_t pos = 0;
    while (pos < metrics.size()) {
        const size_t end = metrics.find('\n', pos);
        const std::string line = metrics.substr(pos, end - pos + 1);
        pos = end == std::string::npos ? metrics.size() : end + 1;
        if (line.rfind("kwotarv_read_duration_seconds ", 0) != 0 &&
            line.rfind("kwotarv_read_errors_total ", 0) != 0)
            out += line;
    }
    return out;
}

class ServeTest : public ::testing::Test {
  protected:
    tooltest::ScratchDir scratch_;
};

TEST_F(ServeTest, MetricsAreTheHandWorkedReadingsOfTheBoard)
{
    ServeProcess serve({"--board", tooltest::BoardDir("nct6776")}, scratch_.Path(""));
    const auto metrics = HttpGet(serve.Port(), "/metrics");
    ASSERT_EQ(metrics.status, 200);
    EXPECT_EQ(metrics.contentType, "text/plain; version=0.0.4; charset=utf-8");
    for (const char* samples : kNct6776Samples)
        EXPECT_NE(metrics.body.find(samples), std::string::npos) << samples << metrics.body;
    EXPECT_NE(metrics.body.find("\nkwotarv_read_errors_total 0\n"), std::string::npos);
    EXPECT_EQ(serve.Process().Stop(), 0) << serve.Err();
    EXPECT_EQ(serve.Err(), "") << "the session left something behind";
}

TEST_F(ServeTest, ChipWhoseCountsAreNotSpeedsHasNoRpm)
{
    // Boards/nct5523d: counts 2580 and 3200, no speeds; northbridge and shared-register
    // temperatures.
    ServeProcess serve({"--board", tooltest::BoardDir("nct5523d")}, scratch_.Path(""));
    const auto metrics = HttpGet(serve.Port(), "/metrics");
    ASSERT_EQ(metrics.status, 200);
    for (const char* samples : {
             "kwotarv_chip_info{chip=\"NCT5523D\",chipset_type=\"7\",description=\"Nuvoton "
             "NCT5523D/6106D Hardware Monitor\"} 1\n",
             "kwotarv_voltage_volts{channel=\"+12V\",index=\"1\"} 11.93\n",
             "kwotarv_voltage_volts{channel=\"VBAT\",index=\"6\"} 3.07\n",
             "kwotarv_temperature_celsius{channel=\"CPU\",index=\"0\"} 45.5\n"
             "kwotarv_temperature_celsius{channel=\"System\",index=\"1\"} 28.5\n",
             "kwotarv_fan_raw{channel=\"CPU Fan\",index=\"0\"} 2580\n"
             "kwotarv_fan_raw{channel=\"System Fan\",index=\"1\"} 3200\n",
         })
        EXPECT_NE(metrics.body.find(samples), std::string::npos) << samples << metrics.body;
    EXPECT_EQ(metrics.body.find("kwotarv_fan_rpm"), std::string::npos);
}

TEST_F(ServeTest, ApiReadingsIsTheReadJsonWithATimestamp)
{
    ServeProcess serve({"--board", tooltest::BoardDir("w83627dhg")}, scratch_.Path(""));
    const auto api = HttpGet(serve.Port(), "/api/readings");
    ASSERT_EQ(api.status, 200);
    EXPECT_EQ(api.contentType, "application/json");
    nlohmann::json served = nlohmann::json::parse(api.body);
    const std::string timestamp = served["timestamp"];
    EXPECT_EQ(timestamp.size(), 24u) << timestamp; // 2026-12-07T16:27:05.123Z
    EXPECT_EQ(timestamp.back(), 'Z');
    served.erase("timestamp");
    EXPECT_EQ(served["alarms"], 0);
    served.erase("alarms");

    const auto read = tooltest::RunTool({"--board", tooltest::BoardDir("w83627dhg"), "--json"});
    ASSERT_EQ(read.exitCode, 0) << read.err;
    EXPECT_EQ(served, nlohmann::json::parse(read.out));
}

// A board with limits whose +12V rail reads 12.98 V against 11.40 V to 12.60 V: every page
// gives the same limits and the same verdict as `read`.
class ServeLimitsTest : public ServeTest {
  protected:
    void SetUp() override { WriteText(changes_, tooltest::kRailHigh); }
    // The board and its changes as options, after `first`.
    std::vector<std::string> Tool(const std::string& first) const
    {
        return {first, "--board", tooltest::LimitsBoardDir(), "--register-changes", changes_};
    }
    const std::string changes_ = scratch_.Path("registers.json");
};

TEST_F(ServeLimitsTest, MetricsHaveTheLimitsAndTheVerdicts)
{
    ServeProcess serve({}, scratch_.Path(""), Tool(KWOTARV_TOOL));
    const auto metrics = HttpGet(serve.Port(), "/metrics");
    ASSERT_EQ(metrics.status, 200);
    for (const char* samples : {
             "kwotarv_voltage_volts{channel=\"+12V\",index=\"1\"} 12.98\n",
             "kwotarv_voltage_low_volts{channel=\"+12V\",index=\"1\"} 11.40\n"
             "kwotarv_voltage_low_volts{channel=\"+5V\",index=\"4\"} 4.75\n",
             "kwotarv_voltage_high_volts{channel=\"+12V\",index=\"1\"} 12.60\n"
             "kwotarv_voltage_high_volts{channel=\"+5V\",index=\"4\"} 5.25\n",
             "kwotarv_temperature_high_celsius{channel=\"System\",index=\"1\"} 60.0\n",
             "kwotarv_alarm{kind=\"voltage\",channel=\"VCORE\",index=\"0\"} 0\n"
             "kwotarv_alarm{kind=\"voltage\",channel=\"+12V\",index=\"1\"} 1\n"
             "kwotarv_alarm{kind=\"voltage\",channel=\"AVCC\",index=\"2\"} 0\n",
             "kwotarv_alarm{kind=\"temperature\",channel=\"System\",index=\"1\"} 0\n"
             "kwotarv_alarm{kind=\"fan\",channel=\"CPU Fan\",index=\"0\"} 0\n",
             "kwotarv_fan_stopped{channel=\"Aux Fan\",index=\"2\"} 0\n",
         })
        EXPECT_NE(metrics.body.find(samples), std::string::npos) << samples << metrics.body;
    for (const char* absent :
         {"kwotarv_temperature_low_celsius", "kwotarv_fan_low_raw", "kwotarv_fan_high_raw"})
        EXPECT_EQ(metrics.body.find(absent), std::string::npos) << absent;

    // The rail back in range, the verdict with it.
    WriteText(changes_ + ".new", R"({"0x0021": "0xE5"})");
    std::filesystem::rename(changes_ + ".new", changes_);
    EXPECT_NE(HttpGet(serve.Port(), "/metrics")
                  .body.find("kwotarv_alarm{kind=\"voltage\",channel=\"+12V\",index=\"1\"} 0\n"),
              std::string::npos);
    EXPECT_EQ(serve.Process().Stop(), 0) << serve.Err();
}

TEST_F(ServeLimitsTest, ApiReadingsIsTheReadJsonWithTheAlarmCount)
{
    ServeProcess serve({}, scratch_.Path(""), Tool(KWOTARV_TOOL));
    const auto api = HttpGet(serve.Port(), "/api/readings");
    ASSERT_EQ(api.status, 200);
    nlohmann::json served = nlohmann::json::parse(api.body);
    EXPECT_EQ(served["alarms"], 1);
    served.erase("alarms");
    served.erase("timestamp");
    const auto& rail = served["voltages"][1];
    EXPECT_EQ(rail["name"], "+12V");
    EXPECT_EQ(rail["alarm"], "high");
    EXPECT_EQ(rail["low"], 11.4);
    EXPECT_EQ(rail["high"], 12.6);

    const auto read = tooltest::RunTool(Tool("--json"));
    ASSERT_EQ(read.exitCode, 0) << read.err;
    EXPECT_EQ(served, nlohmann::json::parse(read.out));
}

TEST_F(ServeTest, UnknownPathsAre404AndOtherMethods405)
{
    ServeProcess serve({}, scratch_.Path(""));
    httplib::Client client("127.0.0.1", serve.Port());
    for (const char* path :
         {"/metrics/", "/index.html", "/api", "/api/readings/x", "/favicon.ico"}) {
        auto r = client.Get(path);
        ASSERT_TRUE(r) << path;
        EXPECT_EQ(r->status, 404) << path;
    }
    for (const char* path : {"/", "/metrics", "/api/readings", "/api/history"}) {
        auto post = client.Post(path, "", "text/plain");
        ASSERT_TRUE(post) << path;
        EXPECT_EQ(post->status, 405) << path;
        EXPECT_EQ(post->get_header_value("Allow"), "GET, HEAD") << path;
        auto del = client.Delete(path);
        ASSERT_TRUE(del) << path;
        EXPECT_EQ(del->status, 405) << path;
        auto head = client.Head(path);
        ASSERT_TRUE(head) << path;
        EXPECT_EQ(head->status, 200) << path;
        EXPECT_TRUE(head->body.empty());
        EXPECT_NE(head->get_header_value("Content-Length"), "0");
    }
    // A body is refused before any reading is made.
    auto big = client.Post("/metrics", std::string(100, 'x'), "text/plain");
    ASSERT_TRUE(big);
    EXPECT_EQ(big->status, 413);
}

// The history after a cursor: only the samples numbered above it; a cursor that is not a
// whole number, or two of them, is refused.
TEST_F(ServeTest, HistorySinceHoldsOnlyNewerSamples)
{
    ServeProcess serve({"--interval", "0.2"}, scratch_.Path(""));
    auto history = [&](const std::string& query) {
        const auto r = HttpGet(serve.Port(), "/api/history" + query);
        return r.status == 200 ? nlohmann::json::parse(r.body) : nlohmann::json(r.status);
    };
    ASSERT_TRUE(WaitUntil([&] { return history("")["last"] >= 4; }, 5s));
    const auto all = history("");
    const uint64_t last = all["last"];
    const auto newer = history("?since=" + std::to_string(last - 2) + "&x=1");
    const auto& before = all["channels"][0]["points"];
    const auto& after = newer["channels"][0]["points"];
    ASSERT_GE(after.size(), 2u);
    EXPECT_EQ(after.size(), newer["last"].get<uint64_t>() - (last - 2));
    EXPECT_EQ(after[0], before[before.size() - 2]); // the first sample after the cursor
    EXPECT_EQ(newer["channels"].size(), all["channels"].size());

    for (const char* bad : {"?since=", "?since", "?since=-1", "?since=+1", "?since=0x10",
                            "?since=1x", "?since=18446744073709551616", "?since=1&since=2"})
        EXPECT_EQ(history(bad), 400) << bad;
    EXPECT_EQ(history("?since=18446744073709551615")["channels"][0]["points"].size(),
              history("")["channels"][0]["points"].size()); // a cursor from before a restart
}

TEST_F(ServeTest, DashboardIsSelfContained)
{
    ServeProcess serve({}, scratch_.Path(""));
    httplib::Client client("127.0.0.1", serve.Port());
    auto page = client.Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
    EXPECT_NE(page->get_header_value("Content-Security-Policy").find("default-src 'none'"),
              std::string::npos);
    EXPECT_NE(page->body.find("fetch(\"/api/history\""), std::string::npos);
    // Nothing loaded from elsewhere: no script, style or image sources, no absolute URLs
    // other than the SVG namespace name.
    for (const char* outside : {"src=", "href=", "@import", "url(", "https://"})
        EXPECT_EQ(page->body.find(outside), std::string::npos) << outside;
}

TEST_F(ServeTest, DeviceGoingAwayAndComingBack)
{
    ServeProcess serve({"--interval", "0.2"}, scratch_.Path(""));
    ASSERT_NE(HttpGet(serve.Port(), "/metrics").body.find("kwotarv_up 1\n"), std::string::npos);

    serve.Process().Signal(SIGUSR1); // surprise removal through the PnP manager
    servetest::HttpResult gone;
    ASSERT_TRUE(WaitUntil(
        [&] {
            gone = HttpGet(serve.Port(), "/metrics");
            return gone.body.find("kwotarv_up 0\n") != std::string::npos;
        },
        5s))
        << gone.body;
    EXPECT_EQ(gone.status, 200);
    EXPECT_EQ(gone.body.find("kwotarv_voltage_volts"), std::string::npos);
    EXPECT_EQ(gone.body.find("kwotarv_read_errors_total 0\n"), std::string::npos);
    const auto api = HttpGet(serve.Port(), "/api/readings");
    EXPECT_EQ(api.status, 503);
    EXPECT_NE(nlohmann::json::parse(api.body)["errors"][0].get<std::string>().find("removed"),
              std::string::npos);

    auto historyUp = [&](bool up) {
        return WaitUntil(
            [&] {
                return nlohmann::json::parse(HttpGet(serve.Port(), "/api/history").body)["up"] ==
                       up;
            },
            5s);
    };
    ASSERT_TRUE(historyUp(false)) << "the sampler did not see the device go";

    serve.Process().Signal(SIGUSR2); // the device is back: a fresh driver image starts it
    servetest::HttpResult back;
    ASSERT_TRUE(WaitUntil(
        [&] {
            back = HttpGet(serve.Port(), "/metrics");
            return back.body.find("kwotarv_up 1\n") != std::string::npos;
        },
        5s))
        << back.body;
    for (const char* samples : kNct6776Samples)
        EXPECT_NE(back.body.find(samples), std::string::npos) << samples;

    ASSERT_TRUE(historyUp(true)) << "the sampler did not see the device return";

    // The history has the gap; nothing was left behind after removal, reload and unload.
    const auto history = nlohmann::json::parse(HttpGet(serve.Port(), "/api/history").body);
    bool gap = false;
    for (const auto& point : history["channels"][0]["points"])
        gap = gap || point[1].is_null();
    EXPECT_TRUE(gap);
    EXPECT_EQ(serve.Process().Stop(), 0);
    EXPECT_NE(serve.Err().find("the device was removed"), std::string::npos) << serve.Err();
    EXPECT_NE(serve.Err().find("the device reads again"), std::string::npos) << serve.Err();
    EXPECT_EQ(serve.Err().find("simulator"), std::string::npos) << serve.Err();
}

TEST_F(ServeTest, ADeviceThatDoesNotStartIsServedAsDown)
{
    ServeProcess serve({"--board", tooltest::DataDir("firmware-mismatch")}, scratch_.Path(""));
    const auto metrics = HttpGet(serve.Port(), "/metrics");
    EXPECT_EQ(metrics.status, 200);
    EXPECT_NE(metrics.body.find("kwotarv_up 0\n"), std::string::npos);
    EXPECT_NE(serve.Err().find("no Product pattern matches"), std::string::npos);
}

TEST_F(ServeTest, ConcurrentScrapesGetTheSameReadings)
{
    ServeProcess serve({"--interval", "0.2"}, scratch_.Path(""));
    const std::string expected = Stable(HttpGet(serve.Port(), "/metrics").body);
    std::atomic<int> mismatches{0}, failures{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < 8; ++c)
        clients.emplace_back([&] {
            for (int i = 0; i < 25; ++i) {
                const auto r = HttpGet(serve.Port(), i % 5 ? "/metrics" : "/api/readings");
                if (r.status != 200)
                    ++failures;
                else if (i % 5 && Stable(r.body) != expected)
                    ++mismatches;
            }
        });
    for (auto& c : clients)
        c.join();
    EXPECT_EQ(failures, 0);
    EXPECT_EQ(mismatches, 0);
    EXPECT_NE(HttpGet(serve.Port(), "/metrics").body.find("kwotarv_read_errors_total 0\n"),
              std::string::npos);
    EXPECT_EQ(serve.Process().Stop(), 0) << serve.Err();
}

int Connect(uint16_t port)
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    return s;
}

TEST_F(ServeTest, IdleAndSlowClientsDoNotHoldUpOthers)
{
    ServeProcess serve({}, scratch_.Path(""));
    // A hundred connections that never finish their request head, and one that trickles.
    std::vector<int> idle;
    for (int i = 0; i < 100; ++i)
        idle.push_back(Connect(serve.Port()));
    const int slow = Connect(serve.Port());
    ASSERT_EQ(send(slow, "GET /met", 8, 0), 8);

    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 5; ++i)
        ASSERT_EQ(HttpGet(serve.Port(), "/metrics").status, 200);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 4s) << "the head timeout is 5 s";

    // The slow one gets 408 once its time is up, and the idle ones are closed.
    char answer[64] = {};
    timeval wait{8, 0};
    setsockopt(slow, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    ASSERT_GT(recv(slow, answer, sizeof answer - 1, 0), 0);
    EXPECT_EQ(std::string(answer).rfind("HTTP/1.1 408 ", 0), 0u) << answer;
    close(slow);
    for (int s : idle)
        close(s);
    EXPECT_EQ(serve.Process().Stop(), 0);
}

TEST_F(ServeTest, BadOptionsAreUsageErrors)
{
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"serve", "--listen", "9788"},
             {"serve", "--listen", "127.0.0.1:70000"},
             {"serve", "--interval", "0"},
             {"serve", "--interval", "5000"},
             {"serve", "--watch", "1"},
             {"info", "--format", "prometheus"},
             {"--format", "yaml"},
             {"--json", "--format", "prometheus"},
             {"--output", "x.prom"},
         }) {
        const auto run = tooltest::RunTool(args);
        EXPECT_EQ(run.exitCode, 2) << args[0] << " " << args[1] << ": " << run.err;
    }
    // An address that is not this machine's cannot be listened on.
    const auto run = tooltest::RunTool({"serve", "--listen", "192.0.2.1:9788"});
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_NE(run.err.find("--listen"), std::string::npos) << run.err;
}

TEST_F(ServeTest, ReadFormatPrometheusWritesTheSameMetrics)
{
    const auto out = tooltest::RunTool({"--format", "prometheus"});
    ASSERT_EQ(out.exitCode, 0) << out.err;
    for (const char* samples : kNct6776Samples)
        EXPECT_NE(out.out.find(samples), std::string::npos) << samples;

    const std::string file = scratch_.Path("kwotarv.prom");
    const auto written =
        tooltest::RunTool({"read", "--format", "prometheus", "--output", file, "--count", "2"});
    ASSERT_EQ(written.exitCode, 0) << written.err;
    EXPECT_EQ(written.out, "");
    EXPECT_EQ(Stable(tooltest::ReadText(file)), Stable(out.out));

    // No device: the file says so, and the command fails.
    const auto down = tooltest::RunTool(
        {"--board", tooltest::DataDir("no-chip"), "--format", "prometheus", "--output", file});
    EXPECT_EQ(down.exitCode, 1);
    EXPECT_NE(tooltest::ReadText(file).find("kwotarv_up 0\n"), std::string::npos);
    EXPECT_EQ(tooltest::ReadText(file).find("kwotarv_voltage_volts"), std::string::npos);

    const auto json = tooltest::RunTool({"--format", "json"});
    ASSERT_EQ(json.exitCode, 0) << json.err;
    EXPECT_EQ(nlohmann::json::parse(json.out),
              nlohmann::json::parse(tooltest::RunTool({"--json"}).out));
}

} // namespace
