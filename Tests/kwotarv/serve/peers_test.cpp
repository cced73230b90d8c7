// The real peers of the monitoring: a Prometheus server scraping `kwotarv serve`, promtool
// checking the exposition, node_exporter's textfile collector reading the export, and headless
// Chromium rendering the dashboard. Each peer runs on loopback with its own temporary
// directory; a test is skipped only when its peer is not installed.
#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <regex>

#include <nlohmann/json.hpp>

#include "kwotarv/peer_process.hpp"
#include "kwotarv/tool_process.hpp"

namespace {

using namespace std::chrono_literals;
using servetest::FindProgram;
using servetest::HttpGet;
using servetest::PeerProcess;
using servetest::PrometheusQuery;
using servetest::ServeProcess;
using servetest::WaitUntil;
using tooltest::WriteText;

TEST(Prometheus, ScrapesServeAndSeesTheDeviceGoAndReturn)
{
    const std::string prometheus = FindProgram("prometheus");
    if (prometheus.empty())
        GTEST_SKIP() << "prometheus is not installed (Debian package prometheus)";
    tooltest::ScratchDir scratch;
    ServeProcess serve({"--interval", "0.5"}, scratch.Path(""));
    const uint16_t port = servetest::FreePort();
    WriteText(scratch.Path("prometheus.yml"), "global:\n"
                                              "  scrape_interval: 500ms\n"
                                              "  scrape_timeout: 450ms\n"
                                              "scrape_configs:\n"
                                              "  - job_name: kwotarv\n"
                                              "    static_configs:\n"
                                              "      - targets: ['127.0.0.1:" +
                                                  std::to_string(serve.Port()) + "']\n");
    PeerProcess server({prometheus, "--config.file=" + scratch.Path("prometheus.yml"),
                        "--storage.tsdb.path=" + scratch.Path("data"),
                        "--web.listen-address=127.0.0.1:" + std::to_string(port)},
                       scratch.Path("prometheus.out"), scratch.Path("prometheus.err"));

    // The hand-worked readings of the demo board (Tests/kwotarv/commands/sample_boards_test.cpp).
    const std::map<std::string, std::string> volts = {
        {"VCORE", "1"},  {"+12V", "12.09"}, {"AVCC", "3.32"}, {"3VCC", "3.31"},
        {"+5V", "5.02"}, {"3VSB", "3.32"},  {"VBAT", "3.21"}};
    std::map<std::string, std::string> seen;
    ASSERT_TRUE(WaitUntil(
        [&] {
            seen = PrometheusQuery(port, "kwotarv_voltage_volts");
            return seen.size() == volts.size();
        },
        30s))
        << tooltest::ReadText(scratch.Path("prometheus.err"));
    EXPECT_EQ(seen, volts);
    EXPECT_EQ(PrometheusQuery(port, "kwotarv_temperature_celsius"),
              (std::map<std::string, std::string>{{"CPU", "45"}, {"System", "33.5"}}));
    EXPECT_EQ(PrometheusQuery(port, "kwotarv_fan_rpm"),
              (std::map<std::string, std::string>{
                  {"CPU Fan", "1500"}, {"System Fan", "1200"}, {"Aux Fan", "0"}}));
    EXPECT_EQ(PrometheusQuery(port, "kwotarv_fan_raw")["System Fan"], "8965");
    EXPECT_EQ(PrometheusQuery(port, "kwotarv_chip_info%7Bchip%3D%22NCT6776%22%7D").size(), 1u);
    EXPECT_EQ(PrometheusQuery(port, "kwotarv_up")[""], "1");

    // Gone: the scrape itself still succeeds (up 1), kwotarv_up says the device is not there.
    serve.Process().Signal(SIGUSR1);
    EXPECT_TRUE(WaitUntil([&] { return PrometheusQuery(port, "kwotarv_up")[""] == "0"; }, 10s));
    EXPECT_EQ(PrometheusQuery(port, "up%7Bjob%3D%22kwotarv%22%7D")[""], "1");
    EXPECT_TRUE(
        PrometheusQuery(port, "kwotarv_voltage_volts").empty() ||
        WaitUntil([&] { return PrometheusQuery(port, "kwotarv_voltage_volts").empty(); }, 10s))
        << "the voltage series did not go stale";
    EXPECT_NE(PrometheusQuery(port, "kwotarv_read_errors_total")[""], "0");

    serve.Process().Signal(SIGUSR2);
    EXPECT_TRUE(WaitUntil([&] { return PrometheusQuery(port, "kwotarv_up")[""] == "1"; }, 10s));
    EXPECT_TRUE(
        WaitUntil([&] { return PrometheusQuery(port, "kwotarv_voltage_volts") == volts; }, 10s));
    EXPECT_EQ(server.Stop(), 0) << tooltest::ReadText(scratch.Path("prometheus.err"));
    EXPECT_EQ(serve.Process().Stop(), 0) << serve.Err();
}

TEST(Promtool, AcceptsTheExposition)
{
    const std::string promtool = FindProgram("promtool");
    if (promtool.empty())
        GTEST_SKIP() << "promtool is not installed (Debian package prometheus)";
    tooltest::ScratchDir scratch;
    std::vector<std::pair<std::string, std::string>> inputs;
    {
        ServeProcess serve({"--board", tooltest::BoardDir("nct6776")}, scratch.Path(""));
        inputs.push_back({"serve /metrics", HttpGet(serve.Port(), "/metrics").body});
    }
    inputs.push_back(
        {"nct5523d export",
         tooltest::RunTool({"--board", tooltest::BoardDir("nct5523d"), "--format", "prometheus"})
             .out});
    // Every limit family and an alarm: a board with limits, its +12V rail too high.
    WriteText(scratch.Path("registers.json"), tooltest::kRailHigh);
    inputs.push_back(
        {"limits export",
         tooltest::RunTool({"--board", tooltest::LimitsBoardDir(), "--register-changes",
                            scratch.Path("registers.json"), "--format", "prometheus"})
             .out});
    inputs.push_back({"device down", tooltest::RunTool({"--board", tooltest::DataDir("no-chip"),
                                                        "--format", "prometheus"})
                                         .out});
    for (const auto& [what, text] : inputs) {
        SCOPED_TRACE(what);
        ASSERT_NE(text.find("kwotarv_up"), std::string::npos) << text;
        WriteText(scratch.Path("metrics.txt"), text);
        PeerProcess check({promtool, "check", "metrics"}, scratch.Path("promtool.out"),
                          scratch.Path("promtool.err"), {}, scratch.Path("metrics.txt"));
        // It parses (a parse failure is exit 1) and the linter has no remark (exit 3).
        const auto status = check.Wait(30s);
        const std::string remarks = tooltest::ReadText(scratch.Path("promtool.out")) +
                                    tooltest::ReadText(scratch.Path("promtool.err"));
        EXPECT_EQ(status, 0) << remarks;
        EXPECT_EQ(remarks, "");
    }
}

TEST(NodeExporter, TextfileCollectorReadsTheExport)
{
    const std::string exporter =
        FindProgram("prometheus-node-exporter", {"/usr/bin/prometheus-node-exporter"});
    if (exporter.empty())
        GTEST_SKIP() << "node_exporter is not installed (Debian package prometheus-node-exporter)";
    tooltest::ScratchDir scratch;
    std::filesystem::create_directory(scratch.Path("textfile"));
    const auto run = tooltest::RunTool(
        {"--format", "prometheus", "--output", scratch.Path("textfile/kwotarv.prom")});
    ASSERT_EQ(run.exitCode, 0) << run.err;

    const uint16_t port = servetest::FreePort();
    PeerProcess node({exporter, "--collector.disable-defaults", "--collector.textfile",
                      "--collector.textfile.directory=" + scratch.Path("textfile"),
                      "--web.listen-address=127.0.0.1:" + std::to_string(port)},
                     scratch.Path("node.out"), scratch.Path("node.err"));
    servetest::HttpResult metrics;
    ASSERT_TRUE(WaitUntil(
        [&] {
            metrics = HttpGet(port, "/metrics");
            return metrics.status == 200;
        },
        15s))
        << tooltest::ReadText(scratch.Path("node.err"));
    EXPECT_NE(metrics.body.find("\nnode_textfile_scrape_error 0\n"), std::string::npos)
        << metrics.body << tooltest::ReadText(scratch.Path("node.err"));
    for (const char* sample : {
             "\nkwotarv_up 1\n",
             "\nkwotarv_voltage_volts{channel=\"+12V\",index=\"1\"} 12.09\n",
             "\nkwotarv_temperature_celsius{channel=\"System\",index=\"1\"} 33.5\n",
             "\nkwotarv_fan_rpm{channel=\"CPU Fan\",index=\"0\"} 1500\n",
             "\n# TYPE kwotarv_read_errors_total counter\n",
         })
        EXPECT_NE(metrics.body.find(sample), std::string::npos) << sample;
    // node_exporter reports the file it read, and nothing else from the directory.
    EXPECT_NE(metrics.body.find("node_textfile_mtime_seconds{file=\"" +
                                scratch.Path("textfile/kwotarv.prom") + "\"}"),
              std::string::npos);
    EXPECT_EQ(metrics.body.find(".tmp"), std::string::npos);
}

class Chromium : public ::testing::Test {
  protected:
    void SetUp() override
    {
        chromium_ = FindProgram("chromium", {"/usr/bin/chromium"});
        if (chromium_.empty())
            GTEST_SKIP() << "chromium is not installed (Debian package chromium)";
    }

    // Runs headless Chromium on the page with `mode` (--dump-dom or --screenshot=FILE).
    std::string Render(uint16_t port, const std::vector<std::string>& mode)
    {
        const std::string profile = scratch_.Path("profile-" + std::to_string(runs_++));
        std::filesystem::create_directory(profile);
        std::vector<std::string> argv{chromium_,
                                      "--headless",
                                      "--no-sandbox",
                                      "--disable-gpu",
                                      "--disable-quic",
                                      "--no-first-run",
                                      "--disable-background-networking",
                                      "--disable-component-update",
                                      "--disable-sync",
                                      "--hide-scrollbars",
                                      "--user-data-dir=" + profile,
                                      "--virtual-time-budget=4000"};
        argv.insert(argv.end(), mode.begin(), mode.end());
        argv.push_back("http://127.0.0.1:" + std::to_string(port) + "/");
        PeerProcess browser(argv, scratch_.Path("chromium.out"), scratch_.Path("chromium.err"),
                            {"HOME=" + profile});
        const auto status = browser.Wait(60s);
        EXPECT_EQ(status, 0) << tooltest::ReadText(scratch_.Path("chromium.err"));
        return tooltest::ReadText(scratch_.Path("chromium.out"));
    }

    // The rendered card of a channel, from its opening tag to the next card's.
    static std::string Card(const std::string& dom, const std::string& name)
    {
        const size_t at = dom.find("data-channel=\"" + name + "\"");
        if (at == std::string::npos)
            return {};
        const size_t start = dom.rfind("<div class=\"card", at);
        return dom.substr(start, dom.find("<div class=\"card", at) - start);
    }

    tooltest::ScratchDir scratch_;
    std::string chromium_;
    int runs_ = 0;
};

TEST_F(Chromium, DashboardShowsEveryChannelWithItsValueAndAChart)
{
    ServeProcess serve({"--interval", "0.2"}, scratch_.Path(""));
    // A few samples of history first, so that the charts have lines.
    std::this_thread::sleep_for(1500ms);
    const std::string dom = Render(serve.Port(), {"--dump-dom"});
    ASSERT_NE(dom.find("Nuvoton NCT6776 Hardware Monitor"), std::string::npos) << dom;
    EXPECT_NE(dom.find("Live"), std::string::npos);
    const std::pair<const char*, const char*> channels[] = {
        {"VCORE", "1.00 V"},     {"+12V", "12.09 V"},        {"AVCC", "3.32 V"},
        {"3VCC", "3.31 V"},      {"+5V", "5.02 V"},          {"3VSB", "3.32 V"},
        {"VBAT", "3.21 V"},      {"CPU", "45.0 \u00B0C"},    {"System", "33.5 \u00B0C"},
        {"CPU Fan", "1500 RPM"}, {"System Fan", "1200 RPM"}, {"Aux Fan", "0 RPM"},
    };
    const std::regex chart(
        "<svg class=\"chart\"[^>]*><path d=\"M[0-9.]+ [0-9.]+ (L[0-9.]+ [0-9.]+ ?)+\"");
    for (const auto& [name, value] : channels) {
        SCOPED_TRACE(name);
        const std::string card = Card(dom, name);
        ASSERT_FALSE(card.empty()) << dom;
        EXPECT_NE(card.find(std::string("class=\"value\">") + value), std::string::npos) << card;
        EXPECT_TRUE(std::regex_search(card, chart)) << card;
        // The demo board gives every channel a limit, drawn on its chart; only the fan that
        // stands is in alarm.
        const bool standing = std::string(name) == "Aux Fan";
        EXPECT_EQ(card.rfind("<div class=\"card alarm\"", 0) == 0, standing) << card;
        EXPECT_EQ(card.find("<span class=\"badge\" title=\"the fan has stopped\">STOPPED</span>") !=
                      std::string::npos,
                  standing)
            << card;
        EXPECT_NE(card.find("class=\"limit"), std::string::npos) << card;
    }
    EXPECT_NE(dom.find("<div id=\"alarms\" role=\"status\" aria-live=\"polite\" "
                       "class=\"bad\">1 channel in alarm: Aux Fan STOPPED</div>"),
              std::string::npos)
        << dom;
}

TEST_F(Chromium, DashboardMarksAChannelInAlarmAndDrawsTheLimits)
{
    // The board with limits on +12V, +5V and the System temperature; its +12V rail reads
    // 12.98 V, above its 12.60 V.
    const std::string changes = scratch_.Path("registers.json");
    WriteText(changes, tooltest::kRailHigh);
    ServeProcess serve(
        {"--interval", "0.2"}, scratch_.Path(""),
        {KWOTARV_TOOL, "--board", tooltest::LimitsBoardDir(), "--register-changes", changes});
    std::this_thread::sleep_for(1500ms);
    const std::string dom = Render(serve.Port(), {"--dump-dom"});
    // The header counts it and names it, in words as well as colour.
    EXPECT_NE(dom.find("<div id=\"alarms\" role=\"status\" aria-live=\"polite\" "
                       "class=\"bad\">1 channel in alarm: +12V HIGH</div>"),
              std::string::npos)
        << dom;
    const struct {
        const char* name;
        const char* badge;              // the text beside the name, none when the channel is fine
        const char* limits;             // the limits in words, none without limits
        std::vector<const char*> lines; // the dashed limit lines of its chart
    } channels[] = {
        {"+12V", "HIGH", "limits 11.40 \u2013 12.60 V", {"low", "high"}},
        {"+5V", nullptr, "limits 4.75 \u2013 5.25 V", {"low", "high"}},
        {"System", nullptr, "limit \u2264 60.0 \u00B0C", {"high"}},
        {"VCORE", nullptr, nullptr, {}},
        {"CPU Fan", nullptr, nullptr, {}},
    };
    for (const auto& c : channels) {
        SCOPED_TRACE(c.name);
        const std::string card = Card(dom, c.name);
        ASSERT_FALSE(card.empty()) << dom;
        EXPECT_EQ(card.rfind(c.badge ? "<div class=\"card alarm\"" : "<div class=\"card\"", 0), 0u)
            << card;
        EXPECT_EQ(card.find("class=\"badge\"") != std::string::npos, c.badge != nullptr) << card;
        if (c.badge)
            EXPECT_NE(card.find(std::string("class=\"badge\" title=\"above its high limit\">") +
                                c.badge + "</span>"),
                      std::string::npos)
                << card;
        EXPECT_EQ(card.find("class=\"limits\">"),
                  c.limits ? card.find(std::string("class=\"limits\">") + c.limits + "</span>")
                           : std::string::npos)
            << card;
        std::string lines;
        const std::regex line("<line class=\"limit (low|high)\"");
        for (std::sregex_iterator it(card.begin(), card.end(), line), end; it != end; ++it)
            lines += (*it)[1].str() + " ";
        std::string expected;
        for (const char* side : c.lines)
            expected += std::string(side) + " ";
        EXPECT_EQ(lines, expected) << card;
    }

    // The picture for people (and the README): desktop and phone widths.
    std::filesystem::create_directories(KWOTARV_ARTIFACT_DIR);
    for (const auto& [file, size] :
         {std::pair{"dashboard.png", "1280,1000"}, std::pair{"dashboard-phone.png", "390,1400"}}) {
        const std::string path = std::string(KWOTARV_ARTIFACT_DIR) + "/" + file;
        std::filesystem::remove(path);
        Render(serve.Port(), {"--window-size=" + std::string(size), "--screenshot=" + path});
        EXPECT_GT(std::filesystem::exists(path) ? std::filesystem::file_size(path) : 0, 10000u)
            << path;
    }
}

TEST_F(Chromium, DashboardSaysWhenTheDeviceIsUnavailable)
{
    ServeProcess serve({"--interval", "0.2"}, scratch_.Path(""));
    std::this_thread::sleep_for(600ms);
    serve.Process().Signal(SIGUSR1);
    ASSERT_TRUE(WaitUntil(
        [&] {
            return nlohmann::json::parse(HttpGet(serve.Port(), "/api/history").body)["up"] == false;
        },
        5s));
    const std::string dom = Render(serve.Port(), {"--dump-dom"});
    EXPECT_NE(dom.find("class=\"down\">Device unavailable"), std::string::npos) << dom;
    EXPECT_NE(dom.find("the device was removed"), std::string::npos);
    const std::string card = Card(dom, "+12V");
    EXPECT_NE(card.find("card stale"), std::string::npos);
    EXPECT_NE(card.find("class=\"value\">unavailable"), std::string::npos) << card;
}

} // namespace
