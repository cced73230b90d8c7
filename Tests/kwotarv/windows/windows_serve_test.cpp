// kwotarv.exe's serve and service under Wine: the Windows HTTP server (Winsock), the metrics
// without a device (Wine has no KwoTarv driver), and the service installed, started by
// Wine's service control manager, answering, stopped and removed, with its event source; the
// web configuration file refused; HTTPS with the system's SChannel.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <stdexcept>

#include "kwotarv/peer_process.hpp"
#include "kwotarv/tool_process.hpp"

namespace {

using namespace std::chrono_literals;
using servetest::FindProgram;
using servetest::HttpGet;
using servetest::PeerProcess;
using servetest::ServeProcess;

class WindowsServe : public ::testing::Test {
  protected:
    void SetUp() override
    {
#if !defined(KWOTARV_WINDOWS_TOOL)
        GTEST_SKIP() << "the cross build is off (KWOTARV_CROSS_BUILD=OFF)";
#else
        wine_ = FindProgram("wine");
        if (wine_.empty())
            GTEST_SKIP() << "wine is not installed (Debian packages wine, wine32:i386)";
        prefix_ = scratch_.Path("prefix");
        env_ = {"WINEPREFIX=" + prefix_, "WINEDEBUG=-all", "WINEDLLOVERRIDES=mscoree,mshtml="};
#endif
    }

    void TearDown() override
    {
        // The prefix's wineserver, which the first wine process of this test started.
        const std::string wineserver = FindProgram("wineserver", {"/usr/lib/wine/wineserver"});
        if (!prefix_.empty() && !wineserver.empty()) {
            PeerProcess kill({wineserver, "-k"}, scratch_.Path("ws.out"), scratch_.Path("ws.err"),
                             env_);
            kill.Wait(30s);
        }
    }

    // Runs kwotarv.exe (or another program of the prefix) to its end.
    int Wine(const std::vector<std::string>& args, std::string* out = nullptr)
    {
        std::vector<std::string> argv{wine_};
        argv.insert(argv.end(), args.begin(), args.end());
        PeerProcess run(argv, scratch_.Path("wine.out"), scratch_.Path("wine.err"), env_);
        const int status = run.Wait(120s).value_or(-1);
        if (out != nullptr)
            *out = tooltest::ReadText(scratch_.Path("wine.out"));
        return status;
    }

    tooltest::ScratchDir scratch_;
    std::string wine_, prefix_;
    std::vector<std::string> env_;
};

TEST_F(WindowsServe, ServesMetricsWithoutTheDeviceAndRunsAsAService)
{
#if defined(KWOTARV_WINDOWS_TOOL)
    {
        servetest::ServeProcess serve({"--interval", "0.5"}, scratch_.Path(""),
                                      {wine_, KWOTARV_WINDOWS_TOOL}, env_);
        const auto metrics = HttpGet(serve.Port(), "/metrics");
        EXPECT_EQ(metrics.status, 200);
        EXPECT_NE(metrics.body.find("\nkwotarv_up 0\n"), std::string::npos) << metrics.body;
        EXPECT_EQ(metrics.body.find("kwotarv_read_errors_total 0\n"), std::string::npos);
        EXPECT_EQ(HttpGet(serve.Port(), "/nothing").status, 404);
        EXPECT_EQ(HttpGet(serve.Port(), "/").status, 200);
        EXPECT_EQ(HttpGet(serve.Port(), "/api/readings").status, 503);
        EXPECT_NE(serve.Err().find("KwoTarvDev not found"), std::string::npos) << serve.Err();
    }

    const uint16_t port = servetest::FreePort();
    const std::string listen = "127.0.0.1:" + std::to_string(port);
    std::string out;
    ASSERT_EQ(
        Wine({KWOTARV_WINDOWS_TOOL, "service", "install", "--listen", listen, "--interval", "1"},
             &out),
        0)
        << out << tooltest::ReadText(scratch_.Path("wine.err"));
    EXPECT_NE(out.find("Installed the service KwoTarvMonitor"), std::string::npos) << out;
    EXPECT_TRUE(servetest::WaitUntil(
        [&] {
            return HttpGet(port, "/metrics").body.find("\nkwotarv_up 0\n") != std::string::npos;
        },
        20s));
    ASSERT_EQ(Wine({"sc", "query", "KwoTarvMonitor"}, &out), 0);
    EXPECT_NE(out.find("RUNNING"), std::string::npos) << out;
    // The event source, whose messages are in kwotarv.exe.
    const std::string source =
        "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\KwoTarvMonitor";
    ASSERT_EQ(Wine({"reg", "query", source}, &out), 0) << out;
    EXPECT_NE(out.find("EventMessageFile    REG_EXPAND_SZ    Z:"), std::string::npos) << out;
    EXPECT_NE(out.find("\\kwotarv.exe"), std::string::npos) << out;
    EXPECT_NE(out.find("TypesSupported    REG_DWORD    0x7"), std::string::npos) << out;

    // Installing again updates the command line and restarts the service.
    ASSERT_EQ(Wine({KWOTARV_WINDOWS_TOOL, "service", "install", "--listen", listen}, &out), 0)
        << out;
    EXPECT_NE(out.find("Updated the service KwoTarvMonitor"), std::string::npos) << out;

    ASSERT_EQ(Wine({KWOTARV_WINDOWS_TOOL, "service", "uninstall"}, &out), 0) << out;
    EXPECT_NE(out.find("Removed the service KwoTarvMonitor"), std::string::npos) << out;
    EXPECT_EQ(HttpGet(port, "/metrics").status, 0) << "the service still answers";
    EXPECT_NE(Wine({"sc", "query", "KwoTarvMonitor"}, &out), 0) << out;
    EXPECT_NE(Wine({"reg", "query", source}, &out), 0) << "the event source is still registered";

    // The log: two runs, each started and stopped cleanly.
    std::string log;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(prefix_ + "/drive_c"))
        if (entry.path().filename() == "service.log")
            log = tooltest::ReadText(entry.path().string());
    EXPECT_NE(log.find("kwotarv: service starting (listen " + listen), std::string::npos) << log;
    EXPECT_NE(log.find("kwotarv: service stopped (exit status 0)"), std::string::npos) << log;

    // 'service run' outside the service control manager is a usage error.
    EXPECT_EQ(Wine({KWOTARV_WINDOWS_TOOL, "service", "run"}), 2);

    // The Windows build has no TLS library: a web configuration file is refused by serve and
    // by the service's installation alike.
    tooltest::WriteText(scratch_.Path("web.yml"), "basic_auth_users:\n");
    for (const std::vector<std::string>& command :
         {std::vector<std::string>{"serve"}, std::vector<std::string>{"service", "install"}}) {
        std::vector<std::string> args{KWOTARV_WINDOWS_TOOL};
        args.insert(args.end(), command.begin(), command.end());
        args.insert(args.end(), {"--listen", listen, "--web.config.file", "web.yml"});
        EXPECT_EQ(Wine(args), 2) << command.front();
        EXPECT_NE(tooltest::ReadText(scratch_.Path("wine.err"))
                      .find("kwotarv: --web.config.file: TLS and basic auth are not available "
                            "in the Windows build"),
                  std::string::npos)
            << tooltest::ReadText(scratch_.Path("wine.err"));
    }
#endif
}

// HTTPS with SChannel: an RSA certificate made by openssl with its key as PKCS#8 and as PKCS#1;
// what the Windows build cannot use refused with exit 2 naming the setting and file; /metrics
// and the dashboard over TLS 1.2 (and 1.3 where the system has it), and plain HTTP to the port
// without an HTTP answer.
TEST_F(WindowsServe, ServesHttpsWithTheSystemsTls)
{
#if defined(KWOTARV_WINDOWS_TOOL)
    const std::string openssl = FindProgram("openssl"), curl = FindProgram("curl");
    if (openssl.empty() || curl.empty())
        GTEST_SKIP() << "curl and openssl are not installed";
    for (const std::vector<std::string>& make : std::vector<std::vector<std::string>>{
             {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
              "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout",
              scratch_.Path("server.key"), "-out", scratch_.Path("server.crt")},
             {"rsa", "-in", scratch_.Path("server.key"), "-traditional", "-out",
              scratch_.Path("rsa.key")},
             {"genpkey", "-algorithm", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-out",
              scratch_.Path("ec.key")},
             {"genpkey", "-algorithm", "rsa", "-pkeyopt", "rsa_keygen_bits:1024", "-out",
              scratch_.Path("other.key")}}) {
        std::vector<std::string> argv{openssl};
        argv.insert(argv.end(), make.begin(), make.end());
        const auto made = tooltest::RunProgram(argv);
        ASSERT_EQ(made.exitCode, 0) << made.err;
    }
    int configs = 0;
    const auto config = [&](const std::string& cert, const std::string& key,
                            const std::string& more = "") {
        const std::string name = scratch_.Path("tls" + std::to_string(++configs) + ".yml");
        tooltest::WriteText(name, "tls_server_config:\n  cert_file: " + cert +
                                      "\n  key_file: " + key + "\n" + more);
        return name;
    };

    const struct {
        std::string cert, key, more;
        std::string setting, what;
    } refused[] = {
        {"server.crt", "server.crt", "", "key_file", "server.crt: no PEM private key"},
        {"server.crt", "other.key", "", "key_file", "other.key: not the private key of the "},
        {"server.crt", "ec.key", "", "key_file", "ec.key: EC keys are not available"},
        {"server.crt", "none.key", "", "key_file", "none.key: No such file or directory"},
        {"server.key", "server.key", "", "cert_file", "server.key: no PEM certificate"},
        {"server.crt", "server.key", "  client_auth_type: RequireAnyClientCert\n",
         "client_auth_type", "client certificates are not available in the Windows build"},
    };
    for (const auto& c : refused) {
        const int status = Wine({KWOTARV_WINDOWS_TOOL, "serve", "--listen", "127.0.0.1:0",
                                 "--web.config.file", config(c.cert, c.key, c.more)});
        const std::string err = tooltest::ReadText(scratch_.Path("wine.err"));
        if (err.find("TLS and basic auth are not available in the Windows build") !=
            std::string::npos)
            GTEST_SKIP() << "this kwotarv.exe does not read web configuration files";
        EXPECT_EQ(status, 2) << err;
        EXPECT_NE(err.find("tls_server_config." + c.setting + ": "), std::string::npos) << err;
        EXPECT_NE(err.find(c.what), std::string::npos) << err;
    }

    const struct {
        std::vector<std::string> args;
        std::string url, status;
    } fetches[] = {
        {{"--tlsv1.2", "--tls-max", "1.2"}, "https://127.0.0.1:%/metrics", "200"},
        {{"--tlsv1.2", "--tls-max", "1.2"}, "https://127.0.0.1:%/", "200"},
        {{}, "http://127.0.0.1:%/metrics", "000"},
        {{"--tlsv1.2"}, "https://127.0.0.1:%/metrics", "200"}, // 1.3 where the system has it
    };
    std::string wineLacks;
    for (const std::string key : {"server.key", "rsa.key"}) {
        std::unique_ptr<ServeProcess> serve;
        try {
            serve = std::make_unique<ServeProcess>(
                std::vector<std::string>{"--web.config.file", config("server.crt", key)},
                scratch_.Path(""), std::vector<std::string>{wine_, KWOTARV_WINDOWS_TOOL}, env_);
        } catch (const std::runtime_error& error) {
            wineLacks = error.what();
            ASSERT_NE(wineLacks.find("(AcceptSecurityContext: SEC_E_UNSUPPORTED_FUNCTION)"),
                      std::string::npos)
                << wineLacks;
            continue;
        }
        for (const auto& f : fetches) {
            std::vector<std::string> argv{curl,         "-s",
                                          "--max-time", "10",
                                          "--cacert",   scratch_.Path("server.crt"),
                                          "-o",         scratch_.Path("body.txt"),
                                          "-w",         "%{http_code}"};
            argv.insert(argv.end(), f.args.begin(), f.args.end());
            std::string url = f.url;
            url.replace(url.find('%'), 1, std::to_string(serve->Port()));
            argv.push_back(url);
            EXPECT_EQ(tooltest::RunProgram(argv).out, f.status) << key << " " << url;
            const std::string body = tooltest::ReadText(scratch_.Path("body.txt"));
            if (f.status == "200")
                EXPECT_NE(body.find(url.back() == '/' ? "</html>" : "\nkwotarv_up 0\n"),
                          std::string::npos)
                    << key << " " << url;
        }
    }
    // Wine 8's SChannel takes the server's credentials but has no AcceptSecurityContext.
    if (!wineLacks.empty())
        GTEST_SKIP() << "the keys load, but this system's SChannel cannot act as a TLS server: "
                     << wineLacks;
#endif
}

} // namespace
