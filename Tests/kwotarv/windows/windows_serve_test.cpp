// kwotarv.exe's serve and service under Wine: the Windows HTTP server (Winsock), the metrics
// without a device (Wine has no KwoTarv driver), and the service installed, started by
// Wine's service control manager, answering, stopped and removed, with its event source; basic
// auth from the web configuration file, checked by curl against hashes made by the host's crypt.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "kwotarv/peer_process.hpp"
#include "kwotarv/tool_process.hpp"

namespace {

using namespace std::chrono_literals;
using servetest::FindProgram;
using servetest::HttpGet;
using servetest::PeerProcess;

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

    // A faulty file: the host build's words and exit status; TLS is a fault here for now.
    const struct {
        std::string text, fault;
        bool hostToo;
    } faults[] = {
        {"web_config: 1\n", "web_config: unknown key", true},
        {"basic_auth_users: [\n", "not YAML: end of sequence flow not found (line 2)", true},
        {"basic_auth_users:\n  alice: $2x$05$abcdefghijklmnopqrstuu\n",
         "basic_auth_users.alice: not a bcrypt hash ($2a$, $2b$ or $2y$, as htpasswd -B makes)",
         true},
        {"tls_server_config:\n  cert_file: a.pem\n  key_file: a.key\n",
         "tls_server_config: TLS is not available in the Windows build yet; serve plain HTTP on "
         "127.0.0.1 behind a TLS proxy instead",
         false},
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
        if (!f.hostToo)
            continue;
        const auto host = tooltest::RunTool(
            {"serve", "--listen", "127.0.0.1:0", "--web.config.file", scratch_.Path("bad.yml")});
        EXPECT_EQ(host.exitCode, 2) << f.text;
        EXPECT_EQ(host.err, "kwotarv: --web.config.file: " + scratch_.Path("bad.yml") + ": " +
                                f.fault + "\n");
    }
#endif
}

} // namespace
