// What the server accepts as a request head and as a listen address.
#include <gtest/gtest.h>

#include "serve/http_server.hpp"

namespace {

using kwotarv::ParseRequestHead;

TEST(HttpHead, AcceptsGetAndHeadAndSplitsTheQuery)
{
    auto parsed = ParseRequestHead("GET /metrics?x=1&y HTTP/1.1\r\nHost: a\r\n\r\n", 8192);
    EXPECT_EQ(parsed.error, 0);
    EXPECT_EQ(parsed.request.method, "GET");
    EXPECT_EQ(parsed.request.path, "/metrics");
    EXPECT_EQ(parsed.request.query, "x=1&y");
    parsed = ParseRequestHead("HEAD / HTTP/1.0\r\nContent-Length: 0\r\n\r\n", 8192);
    EXPECT_EQ(parsed.error, 0);
    EXPECT_EQ(parsed.request.method, "HEAD");
    EXPECT_EQ(parsed.request.path, "/");
}

TEST(HttpHead, RejectsWhatItCannotServe)
{
    const struct {
        const char* head;
        int status;
    } cases[] = {
        {"GET /metrics HTTP/1.1\r\nHost: a\r\n", 400},  // unfinished
        {"GET  /metrics HTTP/1.1\r\n\r\n", 400},        // double space
        {"GET /metrics\r\n\r\n", 400},                  // HTTP/0.9 form
        {"get /metrics HTTP/1.1\r\n\r\n", 400},         // methods are upper case
        {"GET metrics HTTP/1.1\r\n\r\n", 400},          // not origin form
        {"GET http://x/metrics HTTP/1.1\r\n\r\n", 400}, // absolute form
        {"GET /a\x01 HTTP/1.1\r\n\r\n", 400},           // control character
        {"GET / HTTP/2.0\r\n\r\n", 505},
        {"GET / FTP/1.0\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nNoColon\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\n folded: x\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\nBad Name: x\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\nContent-Length: 12\r\n\r\n", 413}, // no bodies
        {"POST / HTTP/1.1\r\nContent-Length: x\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", 413},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseRequestHead(c.head, 8192).error, c.status) << c.head;
}

TEST(HttpHead, HostAndFieldValuesAreChecked)
{
    using namespace std::string_literals;
    const struct {
        std::string head;
        int status;
        const char* host;
    } cases[] = {
        {"GET / HTTP/1.1\r\n\r\n", 400, ""}, // HTTP/1.1 requires Host
        {"GET / HTTP/1.0\r\n\r\n", 0, ""},
        {"GET / HTTP/1.1\r\nHost: a\r\nHOST: a\r\n\r\n", 400, ""}, // only one
        {"GET / HTTP/1.1\r\nhost: Example.ORG:9788\r\n\r\n", 0, "Example.ORG:9788"},
        {"GET / HTTP/1.1\r\nHost: [::1]:9788\r\n\r\n", 0, "[::1]:9788"},
        {"GET / HTTP/1.1\r\nHost:\r\n\r\n", 0, ""}, // empty is allowed
        {"GET / HTTP/1.1\r\nHost: a b\r\n\r\n", 400, ""},
        {"GET / HTTP/1.1\r\nHost: a:\r\n\r\n", 400, ""},
        {"GET / HTTP/1.1\r\nHost: [::1\r\n\r\n", 400, ""},
        {"GET / HTTP/1.1\r\nHost: a/b\r\n\r\n", 400, ""},
        {"GET / HTTP/1.1\r\nHost: a\r\nX: 1\0002\r\n\r\n"s, 400, ""}, // NUL
        {"GET / HTTP/1.1\r\nHost: a\r\nX: 1\r2\r\n\r\n", 400, ""},    // bare CR
        {"GET / HTTP/1.1\r\nHost: a\r\nX: 1\n2\r\n\r\n", 400, ""},    // bare LF
        {"GET / HTTP/1.1\r\nHost: a\r\nX: 1\x7f\r\n\r\n", 400, ""},
        {"GET / HTTP/1.1\r\nHost: a\r\nX: 1\t2 \xc3\xa9\r\n\r\n", 0, "a"},
        {"GET / HTTP/1.1\r\nHost: a\r\nX@Y: 1\r\n\r\n", 400, ""}, // not a token
    };
    for (const auto& c : cases) {
        const auto parsed = ParseRequestHead(c.head, 8192);
        EXPECT_EQ(parsed.error, c.status) << c.head;
        if (c.status == 0)
            EXPECT_EQ(parsed.request.host, c.host) << c.head;
    }
}

TEST(HttpHead, AllowedHosts)
{
    const std::vector<std::string> allowed = {"monitor.example", "::1", "[fe80::2]", "Box."};
    const struct {
        const char* host;
        bool ok;
    } cases[] = {
        {"monitor.example", true},
        {"MONITOR.Example:9788", true}, // without the port, in any case
        {"monitor.example.", true},
        {"box", true},
        {"[::1]:9788", true},
        {"[FE80::2]", true},
        {"127.0.0.1:9788", true}, // address literals cannot come from rebinding
        {"[2001:db8::7]", true},
        {"evil.example", false},
        {"monitor.example.evil", false},
        {"", false},
        {"monitor.example:x", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(kwotarv::HostAllowed(c.host, allowed), c.ok) << c.host;
    EXPECT_TRUE(kwotarv::HostAllowed("evil.example", {})) << "no list: any name";
}

TEST(HttpHead, DatesAreImfFixdate)
{
    EXPECT_EQ(kwotarv::HttpDate(0), "Thu, 01 Jan 1970 00:00:00 GMT");
    EXPECT_EQ(kwotarv::HttpDate(951782400), "Tue, 29 Feb 2000 00:00:00 GMT");
    EXPECT_EQ(kwotarv::HttpDate(1796744115), "Tue, 08 Dec 2026 15:35:15 GMT");
}

TEST(HttpHead, HeadsOverTheLimitAre431)
{
    const std::string big = "GET / HTTP/1.1\r\nHost: a\r\nX: " + std::string(100, 'a') + "\r\n\r\n";
    EXPECT_EQ(ParseRequestHead(big, 4096).error, 0);
    EXPECT_EQ(ParseRequestHead(big, 64).error, 431);
    EXPECT_EQ(ParseRequestHead(std::string(64, 'a'), 64).error, 431); // no end in the limit
    EXPECT_EQ(ParseRequestHead(big, big.size()).error, 0);
    EXPECT_EQ(ParseRequestHead(big, big.size() - 1).error, 431);
}

TEST(HttpHead, ResponsesCloseAndHeadHasNoBody)
{
    kwotarv::HttpResponse response;
    response.status = 405;
    response.body = "only GET\n";
    response.headers.push_back({"Allow", "GET, HEAD"});
    const std::string full = kwotarv::SerializeResponse(response, false);
    EXPECT_EQ(full.rfind("HTTP/1.1 405 Method Not Allowed\r\n", 0), 0u);
    EXPECT_NE(full.find("\r\nContent-Length: 9\r\n"), std::string::npos);
    EXPECT_NE(full.find("\r\nAllow: GET, HEAD\r\n"), std::string::npos);
    EXPECT_NE(full.find("\r\nConnection: close\r\n\r\nonly GET\n"), std::string::npos);
    const std::string head = kwotarv::SerializeResponse(response, true);
    EXPECT_EQ(head, full.substr(0, full.size() - response.body.size()));
}

TEST(ListenAddress, HostAndPort)
{
    const struct {
        const char* text;
        bool ok;
        const char* host;
        uint16_t port;
    } cases[] = {
        {"127.0.0.1:9788", true, "127.0.0.1", 9788},
        {"0.0.0.0:0", true, "0.0.0.0", 0},
        {"[::1]:9788", true, "::1", 9788},
        {"localhost:80", true, "localhost", 80},
        {"127.0.0.1", false, "", 0},
        {":9788", false, "", 0},
        {"127.0.0.1:", false, "", 0},
        {"127.0.0.1:65536", false, "", 0},
        {"127.0.0.1:-1", false, "", 0},
        {"::1:9788", false, "", 0},
        {"[::1]9788", false, "", 0},
        {"127.0.0.1:123456", false, "", 0},
    };
    for (const auto& c : cases) {
        std::string host;
        uint16_t port = 1;
        EXPECT_EQ(kwotarv::SplitListenAddress(c.text, host, port), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(host, c.host) << c.text;
            EXPECT_EQ(port, c.port) << c.text;
        }
    }
}

} // namespace
