// End to end: the shipped alert rules in a real Prometheus scraping a real `kwotarv serve` on
// the simulator, a real Alertmanager, and a webhook receiver in the test, all on loopback. A
// rail of a board with limits goes out of range while serve runs: the alert reaches the
// receiver; the rail recovers: the alert is resolved there too.
#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <thread>

#include "kwotarv/peer_process.hpp"
#include "rules_file.hpp"
#include "kwotarv/tool_process.hpp"
#include "webhook_receiver.hpp"

namespace {

using namespace std::chrono_literals;
using alerttest::ReceivedAlert;
using servetest::FreePort;
using servetest::PeerProcess;
using servetest::WaitUntil;
using tooltest::ReadText;
using tooltest::WriteText;

// Every rule's hold time here: seconds instead of minutes, but longer than Prometheus takes
// from its first rule evaluation to its first scrape, so that "no kwotarv target" does not fire
// in that moment.
constexpr const char* kHoldTime = "2s";

// The demo board with limits, all channels in range. Its +12V rail may read 11.40 V to
// 12.60 V: its register as the board has it, and a value that reads 12.98 V.
const std::string kBoard = tooltest::LimitsBoardDir();
constexpr const char* kRailInRange = R"({"0x0021": "0xE5"})";
using tooltest::kRailHigh;

std::string PrometheusConfig(const std::string& rules, uint16_t serve, uint16_t alertmanager)
{
    return "global:\n"
           "  scrape_interval: 500ms\n"
           "  scrape_timeout: 450ms\n"
           "  evaluation_interval: 500ms\n"
           "rule_files: ['" +
           rules +
           "']\n"
           "alerting:\n"
           "  alertmanagers:\n"
           "    - static_configs:\n"
           "        - targets: ['127.0.0.1:" +
           std::to_string(alertmanager) +
           "']\n"
           "scrape_configs:\n"
           "  - job_name: kwotarv\n"
           "    static_configs:\n"
           "      - targets: ['127.0.0.1:" +
           std::to_string(serve) + "']\n";
}

std::string AlertmanagerConfig(const std::string& receiverUrl)
{
    return "route:\n"
           "  receiver: test\n"
           "  group_by: [alertname, instance, channel]\n"
           "  group_wait: 500ms\n"
           "  group_interval: 1s\n"
           "  repeat_interval: 1h\n"
           "receivers:\n"
           "  - name: test\n"
           "    webhook_configs:\n"
           "      - url: '" +
           receiverUrl +
           "'\n"
           "        send_resolved: true\n";
}

// Makes the simulated chip take `registers` before serve's next reading. The file is replaced
// whole, so serve never reads half of it.
void ChangeRegisters(const std::string& file, const std::string& registers)
{
    WriteText(file + ".new", registers);
    std::rename((file + ".new").c_str(), file.c_str());
}

// The first alert about the +12V rail with `status` the receiver has; nullopt before then.
std::optional<ReceivedAlert> RailAlert(const alerttest::WebhookReceiver& receiver,
                                       const std::string& status)
{
    for (const auto& alert : receiver.Alerts())
        if (alert.status == status && alert.Label("alertname") == "KwoTarvChannelOutOfRange" &&
            alert.Label("channel") == "+12V")
            return alert;
    return std::nullopt;
}

class AlertChain : public ::testing::Test {
  protected:
    void SetUp() override
    {
        prometheus_ = servetest::FindProgram("prometheus");
        alertmanager_ = servetest::FindProgram("prometheus-alertmanager");
        if (alertmanager_.empty())
            alertmanager_ = servetest::FindProgram("alertmanager");
        if (prometheus_.empty())
            GTEST_SKIP() << "prometheus is not installed (Debian package prometheus)";
        if (alertmanager_.empty())
            GTEST_SKIP()
                << "Alertmanager is not installed (Debian package prometheus-alertmanager)";
    }

    // Alertmanager sending every notification to `receiver`; waits until it is ready.
    std::unique_ptr<PeerProcess> StartAlertmanager(const alerttest::WebhookReceiver& receiver)
    {
        alertmanagerPort_ = FreePort();
        WriteText(scratch_.Path("alertmanager.yml"), AlertmanagerConfig(receiver.Url()));
        auto process = std::make_unique<PeerProcess>(
            std::vector<std::string>{
                alertmanager_, "--config.file=" + scratch_.Path("alertmanager.yml"),
                "--storage.path=" + scratch_.Path("alertmanager"),
                "--web.listen-address=127.0.0.1:" + std::to_string(alertmanagerPort_),
                "--cluster.listen-address="},
            scratch_.Path("alertmanager.out"), scratch_.Path("alertmanager.err"));
        EXPECT_TRUE(WaitUntil(
            [&] { return servetest::HttpGet(alertmanagerPort_, "/-/ready").status == 200; }, 15s))
            << ReadText(scratch_.Path("alertmanager.err"));
        return process;
    }

    // Prometheus with the shipped rules at short hold times, scraping `servePort`.
    std::unique_ptr<PeerProcess> StartPrometheus(uint16_t servePort)
    {
        prometheusPort_ = FreePort();
        const std::string rules = scratch_.Path("kwotarv.rules.yml");
        WriteText(rules, alerttest::WithHoldTimes(ReadText(alerttest::RulesFile()), kHoldTime));
        WriteText(scratch_.Path("prometheus.yml"),
                  PrometheusConfig(rules, servePort, alertmanagerPort_));
        return std::make_unique<PeerProcess>(
            std::vector<std::string>{
                prometheus_, "--config.file=" + scratch_.Path("prometheus.yml"),
                "--storage.tsdb.path=" + scratch_.Path("prometheus"),
                "--web.listen-address=127.0.0.1:" + std::to_string(prometheusPort_)},
            scratch_.Path("prometheus.out"), scratch_.Path("prometheus.err"));
    }

    std::string PeerErrors()
    {
        return "Prometheus:\n" + ReadText(scratch_.Path("prometheus.err")) + "\nAlertmanager:\n" +
               ReadText(scratch_.Path("alertmanager.err"));
    }

    tooltest::ScratchDir scratch_;
    std::string prometheus_, alertmanager_;
    uint16_t alertmanagerPort_ = 0, prometheusPort_ = 0;
};

TEST_F(AlertChain, RailOutOfRangeReachesTheReceiverAndResolves)
{
    const std::string changes = scratch_.Path("registers.json");
    ChangeRegisters(changes, kRailInRange);
    servetest::ServeProcess serve({"--interval", "0.2"}, scratch_.Path(""),
                                  {KWOTARV_TOOL, "--board", kBoard, "--register-changes", changes});
    alerttest::WebhookReceiver receiver;
    const auto alertmanager = StartAlertmanager(receiver);
    const auto prometheus = StartPrometheus(serve.Port());

    // Healthy first: once Prometheus has the verdicts, and for longer than a hold time and
    // Alertmanager's wait, nothing reaches the receiver.
    ASSERT_TRUE(WaitUntil(
        [&] { return servetest::PrometheusQuery(prometheusPort_, "kwotarv_alarm")["+12V"] == "0"; },
        20s))
        << PeerErrors();
    std::this_thread::sleep_for(4s);
    ASSERT_TRUE(receiver.Alerts().empty()) << receiver.Alerts()[0].Label("alertname");

    ChangeRegisters(changes, kRailHigh);
    ASSERT_TRUE(WaitUntil([&] { return RailAlert(receiver, "firing").has_value(); }, 20s))
        << PeerErrors();
    ReceivedAlert firing = *RailAlert(receiver, "firing");
    EXPECT_EQ(firing.Label("kind"), "voltage");
    EXPECT_EQ(firing.Label("severity"), "warning");
    EXPECT_EQ(firing.Label("index"), "1");
    EXPECT_EQ(firing.Label("instance"), "127.0.0.1:" + std::to_string(serve.Port()));
    EXPECT_NE(firing.annotations["description"].find("reads 12.98 V"), std::string::npos)
        << firing.annotations["description"];

    ChangeRegisters(changes, kRailInRange);
    ASSERT_TRUE(WaitUntil([&] { return RailAlert(receiver, "resolved").has_value(); }, 20s))
        << PeerErrors();
    // Nothing but that one alert, and nothing the receiver could not read.
    for (const auto& alert : receiver.Alerts())
        EXPECT_EQ(alert.Label("alertname") + " " + alert.Label("channel"),
                  "KwoTarvChannelOutOfRange +12V");
    EXPECT_TRUE(receiver.Rejected().empty()) << receiver.Rejected()[0];

    EXPECT_EQ(prometheus->Stop(), 0) << PeerErrors();
    EXPECT_EQ(alertmanager->Stop(), 0) << PeerErrors();
    EXPECT_EQ(serve.Process().Stop(), 0) << serve.Err();
}

} // namespace
