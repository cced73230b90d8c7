// `kwotarv serve --web.config.file` with real peers: curl over TLS with and without the right
// password, plain HTTP sent to the TLS port, and Prometheus scraping over TLS with basic auth.
// The certificate is made by the openssl command for each test.
#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

#include "kwotarv/peer_process.hpp"
#include "kwotarv/tool_process.hpp"

namespace {

using namespace std::chrono_literals;
using servetest::FindProgram;
using servetest::PeerProcess;
using servetest::PrometheusQuery;
using servetest::ServeProcess;
using servetest::WaitUntil;
using tooltest::WriteText;

// The bcrypt hash (cost 5) of "scrape-secret".
constexpr const char* kHash = "$2b$05$KdvbVD/bGwQpMXMf3EiAz.lZ1ZEL46M0e4reX67YGCxQeGAZBpVEi";

// A scratch directory with a self-signed certificate for 127.0.0.1 (server.crt, server.key)
// and web.yml naming them (relative to it) and the user "prometheus".
class TlsServe : public ::testing::Test {
  protected:
    void SetUp() override
    {
        curl_ = FindProgram("curl");
        const std::string openssl = FindProgram("openssl");
        if (curl_.empty() || openssl.empty())
            GTEST_SKIP() << "curl and openssl are not installed";
        const auto made = tooltest::RunProgram(
            {openssl, "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
             "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1", "-addext",
             "subjectAltName=IP:127.0.0.1", "-keyout", scratch_.Path("server.key"), "-out",
             scratch_.Path("server.crt")});
        ASSERT_EQ(made.exitCode, 0) << made.err;
        WriteText(scratch_.Path("web.yml"), std::string("tls_server_config:\n"
                                                        "  cert_file: server.crt\n"
                                                        "  key_file: server.key\n"
                                                        "  min_version: TLS13\n"
                                                        "basic_auth_users:\n"
                                                        "  prometheus: ") +
                                                kHash + "\n");
    }

    // curl's status code for /metrics ("000": no HTTP answer) with `args`; the answer's head
    // and body go to head.txt and body.txt.
    std::string Curl(uint16_t port, std::vector<std::string> args, const std::string& scheme)
    {
        std::vector<std::string> argv = {curl_,        "-s",
                                         "--max-time", "10",
                                         "--cacert",   scratch_.Path("server.crt"),
                                         "-D",         scratch_.Path("head.txt"),
                                         "-o",         scratch_.Path("body.txt"),
                                         "-w",         "%{http_code}"};
        argv.insert(argv.end(), args.begin(), args.end());
        argv.push_back(scheme + "://127.0.0.1:" + std::to_string(port) + "/metrics");
        return tooltest::RunProgram(argv).out;
    }

    tooltest::ScratchDir scratch_;
    std::string curl_;
};

TEST_F(TlsServe, AnswersOnlyTheRightPasswordOverTls)
{
    ServeProcess serve({"--web.config.file", scratch_.Path("web.yml")}, scratch_.Path(""));
    EXPECT_NE(serve.Out().find("serving https://127.0.0.1:"), std::string::npos) << serve.Out();
    const struct {
        std::vector<std::string> args;
        std::string scheme;
        std::string status;
    } cases[] = {
        {{"-u", "prometheus:scrape-secret"}, "https", "200"},
        {{"-u", "prometheus:scrape-secret"}, "https", "200"}, // remembered
        {{"-u", "prometheus:wrong"}, "https", "401"},
        {{"-u", "nobody:scrape-secret"}, "https", "401"},
        {{}, "https", "401"},
        {{"-u", "prometheus:scrape-secret", "--tls-max", "1.2"}, "https", "000"}, // min TLS13
        {{"-u", "prometheus:scrape-secret"}, "http", "000"},  // plain HTTP to the TLS port
        {{"-u", "prometheus:scrape-secret"}, "https", "200"}, // still serving
    };
    for (const auto& c : cases) {
        std::remove(scratch_.Path("head.txt").c_str());
        const std::string what = c.scheme + " " + (c.args.empty() ? "" : c.args.back());
        EXPECT_EQ(Curl(serve.Port(), c.args, c.scheme), c.status) << what;
        const std::string head = tooltest::ReadText(scratch_.Path("head.txt"));
        const std::string body = tooltest::ReadText(scratch_.Path("body.txt"));
        if (c.status == "401")
            EXPECT_NE(head.find("\r\nWWW-Authenticate: Basic\r\n"), std::string::npos) << head;
        if (c.status == "200")
            EXPECT_NE(body.find("\nkwotarv_up 1\n"), std::string::npos) << what;
    }
    EXPECT_EQ(serve.Process().Stop(), 0) << serve.Err();
}

TEST_F(TlsServe, AsksForAClientCertificateWhenConfigured)
{
    // The self-signed certificate is its own authority: the client shows it too.
    WriteText(scratch_.Path("clients.yml"), "tls_server_config:\n"
                                            "  cert_file: server.crt\n"
                                            "  key_file: server.key\n"
                                            "  client_auth_type: RequireAndVerifyClientCert\n"
                                            "  client_ca_file: server.crt\n");
    ServeProcess serve({"--web.config.file", scratch_.Path("clients.yml")}, scratch_.Path(""));
    const std::vector<std::string> certificate = {"--cert", scratch_.Path("server.crt"), "--key",
                                                  scratch_.Path("server.key")};
    EXPECT_EQ(Curl(serve.Port(), certificate, "https"), "200");
    EXPECT_EQ(Curl(serve.Port(), {}, "https"), "000");
    EXPECT_EQ(Curl(serve.Port(), certificate, "https"), "200");
}

TEST_F(TlsServe, RefusesAConfigurationItCannotUse)
{
    const auto other =
        tooltest::RunProgram({FindProgram("openssl"), "genpkey", "-algorithm", "ec", "-pkeyopt",
                              "ec_paramgen_curve:prime256v1", "-out", scratch_.Path("other.key")});
    ASSERT_EQ(other.exitCode, 0) << other.err;
    const struct {
        std::string cert, key, fault;
    } cases[] = {
        {"missing.crt", "server.key",
         "cert_file: " + scratch_.Path("missing.crt") + ": No such file or directory"},
        {"server.crt", "other.key",
         "key_file: " + scratch_.Path("other.key") + ": key values mismatch"},
    };
    for (const auto& c : cases) {
        WriteText(scratch_.Path("bad.yml"),
                  "tls_server_config:\n  cert_file: " + c.cert + "\n  key_file: " + c.key + "\n");
        const auto run = tooltest::RunTool(
            {"serve", "--listen", "127.0.0.1:0", "--web.config.file", scratch_.Path("bad.yml")});
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_EQ(run.err, "kwotarv: --web.config.file: " + scratch_.Path("bad.yml") +
                               ": tls_server_config." + c.fault + "\n");
    }
}

TEST_F(TlsServe, ChangedFilesTakeEffectWithoutARestart)
{
    ServeProcess serve({"--web.config.file", scratch_.Path("web.yml")}, scratch_.Path(""));
    ASSERT_EQ(Curl(serve.Port(), {"-u", "prometheus:scrape-secret"}, "https"), "200");

    // A new certificate and key in place of the old ones, and another user.
    std::rename(scratch_.Path("server.crt").c_str(), scratch_.Path("old.crt").c_str());
    const auto made = tooltest::RunProgram(
        {FindProgram("openssl"), "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
         "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout",
         scratch_.Path("server.key"), "-out", scratch_.Path("server.crt")});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    const std::string tls = "tls_server_config:\n  cert_file: server.crt\n  key_file: server.key\n";
    WriteText(scratch_.Path("web.yml"), tls + "basic_auth_users:\n  scraper: " + kHash + "\n");
    EXPECT_TRUE(WaitUntil(
        [&] {
            return Curl(serve.Port(), {"-u", "scraper:scrape-secret"}, "https") == "200";
        },
        10s));
    EXPECT_EQ(Curl(serve.Port(), {"-u", "prometheus:scrape-secret"}, "https"), "401");
    EXPECT_EQ(Curl(serve.Port(),
                   {"-u", "scraper:scrape-secret", "--cacert", scratch_.Path("old.crt")}, "https"),
              "000"); // the old certificate is no longer shown

    // Files that cannot be used are reported once each; what was loaded stays.
    const struct {
        std::string text, fault;
    } faults[] = {
        {"basic_auth_users: [\n", "not YAML: end of sequence flow not found (line 2)"},
        {"basic_auth_users:\n  scraper: " + std::string(kHash) + "\n",
         "tls_server_config was added or removed; restart serve to change between HTTP and "
         "HTTPS"},
    };
    for (const auto& f : faults) {
        WriteText(scratch_.Path("web.yml"), f.text);
        const std::string line = "kwotarv: serve: --web.config.file: " + scratch_.Path("web.yml") +
                                 ": " + f.fault + " (the configuration loaded before stays)\n";
        EXPECT_TRUE(WaitUntil(
            [&] {
                EXPECT_EQ(Curl(serve.Port(), {"-u", "scraper:scrape-secret"}, "https"), "200");
                return serve.Err().find(line) != std::string::npos;
            },
            10s))
            << serve.Err();
        std::this_thread::sleep_for(1500ms); // more looks at the same file
        EXPECT_EQ(Curl(serve.Port(), {"-u", "scraper:scrape-secret"}, "https"), "200");
        const std::string err = serve.Err();
        EXPECT_EQ(err.find(line), err.rfind(line)) << err;
    }
    EXPECT_EQ(serve.Process().Stop(), 0) << serve.Err();
}

TEST_F(TlsServe, PrometheusScrapesOverTlsWithBasicAuth)
{
    const std::string prometheus = FindProgram("prometheus");
    if (prometheus.empty())
        GTEST_SKIP() << "prometheus is not installed (Debian package prometheus)";
    ServeProcess serve({"--web.config.file", scratch_.Path("web.yml")}, scratch_.Path(""));
    const uint16_t port = servetest::FreePort();
    // Two jobs on the same target: one with the password, one with a wrong one.
    std::string config = "global:\n"
                         "  scrape_interval: 500ms\n"
                         "  scrape_timeout: 450ms\n"
                         "scrape_configs:\n";
    for (const auto& [job, password] :
         {std::pair{"kwotarv", "scrape-secret"}, std::pair{"intruder", "guess"}})
        config += std::string("  - job_name: ") + job +
                  "\n"
                  "    scheme: https\n"
                  "    tls_config:\n"
                  "      ca_file: " +
                  scratch_.Path("server.crt") +
                  "\n"
                  "    basic_auth:\n"
                  "      username: prometheus\n"
                  "      password: " +
                  password +
                  "\n"
                  "    static_configs:\n"
                  "      - targets: ['127.0.0.1:" +
                  std::to_string(serve.Port()) + "']\n";
    WriteText(scratch_.Path("prometheus.yml"), config);
    PeerProcess server({prometheus, "--config.file=" + scratch_.Path("prometheus.yml"),
                        "--storage.tsdb.path=" + scratch_.Path("data"),
                        "--web.listen-address=127.0.0.1:" + std::to_string(port)},
                       scratch_.Path("prometheus.out"), scratch_.Path("prometheus.err"));
    EXPECT_TRUE(WaitUntil(
        [&] { return PrometheusQuery(port, "kwotarv_up%7Bjob%3D%22kwotarv%22%7D")[""] == "1"; },
        30s))
        << tooltest::ReadText(scratch_.Path("prometheus.err"));
    EXPECT_EQ(PrometheusQuery(port, "up%7Bjob%3D%22kwotarv%22%7D")[""], "1");
    EXPECT_TRUE(WaitUntil(
        [&] { return PrometheusQuery(port, "up%7Bjob%3D%22intruder%22%7D")[""] == "0"; }, 10s));
    EXPECT_EQ(server.Stop(), 0) << tooltest::ReadText(scratch_.Path("prometheus.err"));
    EXPECT_EQ(serve.Process().Stop(), 0) << serve.Err();
}

} // namespace
