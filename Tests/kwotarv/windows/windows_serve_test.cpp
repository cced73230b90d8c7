// kwotarv.exe's serve and service under Wine: the Windows HTTP server (Winsock), the metrics
// without a device (Wine has no KwoTarv driver), and the service installed, started by
// Wine's service control manager, answering, stopped and removed, with its event source; the
// web configuration file refused.
#include <gtest/gtest.h>

#include <filesystem>

#include "kwotarv/peer_process.hpp"
#include "kwotarv/tool_process.hpp"

namespace {

using namespace std::chrono_literals;
using servetest::FindProgram;
using servetest::HttpGet;
using servetest::PeerProcess;

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

} // namespace
