// kwotarv.exe's serve and service under Wine: the Windows HTTP server (Winsock), the metrics
// without a device (Wine has no KwoTarv driver), and the service installed, started by
// Wine's service control manager, answering, stopped and removed, with its event source; basic
// auth from the web configuration file, checked by curl against hashes made by the host's crypt;
// HTTPS with the system's SChannel.
#include <gtest/gtest.h>

#include <cstdio>
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

// Users whose bcrypt hashes (cost 5) the host's crypt made, one of each kind: alice's password
// is "alice-secret" ($2b$), bob's "bob-secret" ($2y$), carol's "carol-sécret" ($2a$).
constexpr const char* kUsers =
    "basic_auth_users:\n"
    "  alice: $2b$05$dWU2d/GpHuDzlnDBqFiu/Obpa2.RmqKhdjHQIUcWZ41Wn2qnb2QYS\n"
    "  bob: $2y$05$abcdefghijklmnopqrstuu9uPBM7sp4Ru93YxEK4H7hIKAYkzoiF2\n"
    "  carol: $2a$05$QQctvXzd0yWyLc7WOqArWe.sRe/ozVWqcKm2SyANnNLsLTsb7Wyk.\n";

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

    // A scratch file as kwotarv.exe names it (Wine's drive Z: is the root folder).
    std::string WindowsPath(const std::string& name)
    {
        return "Z:" + scratch_.Path(name);
    }

    // curl's status code for /metrics on `port` ("000": no answer) with `args`; the answer's
    // head goes to head.txt.
    std::string Curl(uint16_t port, const std::vector<std::string>& args)
    {
        std::vector<std::string> argv = {
            FindProgram("curl"),       "-s", "--max-time", "20", "-D",
            scratch_.Path("head.txt"), "-o", "/dev/null",  "-w", "%{http_code}"};
        argv.insert(argv.end(), args.begin(), args.end());
        argv.push_back("http://127.0.0.1:" + std::to_string(port) + "/metrics");
        return tooltest::RunProgram(argv).out;
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

    // Wine ends the services soon after the prefix's last program has ended: a console serve
    // keeps one running while the service is asked.
    servetest::ServeProcess keepAlive({}, scratch_.Path(""), {wine_, KWOTARV_WINDOWS_TOOL}, env_);
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

    // Installing again updates the command line and restarts the service, here with basic auth
    // from a web configuration file that the service reads by its full name.
    tooltest::WriteText(scratch_.Path("web.yml"), kUsers);
    ASSERT_EQ(Wine({KWOTARV_WINDOWS_TOOL, "service", "install", "--listen", listen,
                    "--web.config.file", WindowsPath("web.yml")},
                   &out),
              0)
        << out;
    EXPECT_NE(out.find("Updated the service KwoTarvMonitor"), std::string::npos) << out;
    EXPECT_TRUE(servetest::WaitUntil([&] { return HttpGet(port, "/metrics").status == 401; }, 20s));
    EXPECT_EQ(Curl(port, {"-u", "bob:bob-secret"}), "200");

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

    // A web configuration file that cannot be used is refused before the service is installed.
    tooltest::WriteText(scratch_.Path("bad.yml"), "web_config: 1\n");
    EXPECT_EQ(Wine({KWOTARV_WINDOWS_TOOL, "service", "install", "--web.config.file",
                    WindowsPath("bad.yml")}),
              2);
    EXPECT_NE(Wine({"sc", "query", "KwoTarvMonitor"}), 0) << "installed all the same";
#endif
}

TEST_F(WindowsServe, ChecksBasicAuthAndRefusesFaultyFilesAsTheHostBuildDoes)
{
#if defined(KWOTARV_WINDOWS_TOOL)
    if (FindProgram("curl").empty())
        GTEST_SKIP() << "curl is not installed";
    tooltest::WriteText(scratch_.Path("web.yml"), kUsers);
    servetest::ServeProcess serve({"--web.config.file", WindowsPath("web.yml")}, scratch_.Path(""),
                                  {wine_, KWOTARV_WINDOWS_TOOL}, env_);
    const struct {
        std::vector<std::string> args;
        std::string status;
    } cases[] = {
        {{"-u", "alice:alice-secret"}, "200"},
        {{"-u", "alice:alice-secret"}, "200"}, // remembered
        {{"-u", "bob:bob-secret"}, "200"},
        {{"-u", "carol:carol-s\xc3\xa9"
                "cret"},
         "200"},
        {{"-u", "alice:bob-secret"}, "401"},
        {{"-u", "carol:carol-secret"}, "401"},
        {{"-u", "dave:alice-secret"}, "401"}, // no such user
        {{}, "401"},                          // no credentials
    };
    for (const auto& c : cases) {
        const std::string what = c.args.empty() ? "none" : c.args.back();
        std::remove(scratch_.Path("head.txt").c_str());
        EXPECT_EQ(Curl(serve.Port(), c.args), c.status) << what;
        if (c.status == "401")
            EXPECT_NE(tooltest::ReadText(scratch_.Path("head.txt"))
                          .find("\r\nWWW-Authenticate: Basic\r\n"),
                      std::string::npos)
                << what;
    }

    // A faulty file: the host build's words and exit status.
    const struct {
        std::string text, fault;
    } faults[] = {
        {"web_config: 1\n", "web_config: unknown key"},
        {"basic_auth_users: [\n", "not YAML: end of sequence flow not found (line 2)"},
        {"basic_auth_users:\n  alice: $2x$05$abcdefghijklmnopqrstuu\n",
         "basic_auth_users.alice: not a bcrypt hash ($2a$, $2b$ or $2y$, as htpasswd -B makes)"},
    };
    for (const auto& f : faults) {
        tooltest::WriteText(scratch_.Path("bad.yml"), f.text);
        EXPECT_EQ(Wine({KWOTARV_WINDOWS_TOOL, "serve", "--listen", "127.0.0.1:0",
                        "--web.config.file", WindowsPath("bad.yml")}),
                  2)
            << f.text;
        EXPECT_NE(tooltest::ReadText(scratch_.Path("wine.err"))
                      .find("kwotarv: --web.config.file: " + WindowsPath("bad.yml") + ": " +
                            f.fault + "\r\n"), // text mode's line end
                  std::string::npos)
            << tooltest::ReadText(scratch_.Path("wine.err"));
        const auto host = tooltest::RunTool(
            {"serve", "--listen", "127.0.0.1:0", "--web.config.file", scratch_.Path("bad.yml")});
        EXPECT_EQ(host.exitCode, 2) << f.text;
        EXPECT_EQ(host.err, "kwotarv: --web.config.file: " + scratch_.Path("bad.yml") + ": " +
                                f.fault + "\n");
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
