// The HTTP/1.1 message rules serve follows: reading a request head (request line, header
// fields, Host), and writing a response. No sockets here, so every rule can be checked alone.
#include "serve/http_message.hpp"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <string_view>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <sys/socket.h>
#endif

namespace kwotarv {

namespace {

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string Trim(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

} // namespace

std::string ReasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 413:
        return "Content Too Large";
    case 414:
        return "URI Too Long";
    case 421:
        return "Misdirected Request";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 503:
        return "Service Unavailable";
    case 505:
        return "HTTP Version Not Supported";
    default:
        return "Status " + std::to_string(status);
    }
}

std::string HttpDate(std::time_t time)
{
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    using namespace std::chrono;
    const sys_seconds at{seconds(time)};
    const sys_days day = floor<days>(at);
    const year_month_day date{day};
    const hh_mm_ss clock{at - day};
    char text[32];
    std::snprintf(
        text, sizeof text, "%s, %02u %s %04d %02d:%02d:%02d GMT", kDays[weekday(day).c_encoding()],
        static_cast<unsigned>(date.day()), kMonths[static_cast<unsigned>(date.month()) - 1],
        static_cast<int>(date.year()), static_cast<int>(clock.hours().count()),
        static_cast<int>(clock.minutes().count()), static_cast<int>(clock.seconds().count()));
    return text;
}

bool HostName(const std::string& field, std::string& name)
{
    const auto isDigit = [](unsigned char c) { return c >= '0' && c <= '9'; };
    std::string host = field;
    std::string port;
    const size_t close = field.rfind(']');
    const size_t colon = field.rfind(':');
    if (!field.empty() && field[0] == '[') {
        // An IPv6 literal: hexadecimal digits, colons and dots (an embedded IPv4 address).
        if (close == std::string::npos || (close + 1 < field.size() && field[close + 1] != ':'))
            return false;
        host = field.substr(1, close - 1);
        port = close + 1 < field.size() ? field.substr(close + 2) : std::string();
        if (close + 1 < field.size() && port.empty())
            return false;
        if (host.empty() || !std::all_of(host.begin(), host.end(), [](unsigned char c) {
                return std::isxdigit(c) || c == ':' || c == '.';
            }))
            return false;
    } else if (colon != std::string::npos) {
        host = field.substr(0, colon);
        port = field.substr(colon + 1);
        if (port.empty())
            return false;
    }
    if (port.size() > 5 || !std::all_of(port.begin(), port.end(), isDigit))
        return false;
    // A registered name or an IPv4 address: unreserved characters, sub-delimiters and
    // percent-encoded octets.
    static const std::string kNameSigns = "-._~%!$&'()*+,;=";
    if (field.empty() || field[0] != '[') {
        if (!std::all_of(host.begin(), host.end(), [](unsigned char c) {
                return std::isalnum(c) ||
                       kNameSigns.find(static_cast<char>(c)) != std::string::npos;
            }))
            return false;
        if (!host.empty() && host.back() == '.')
            host.pop_back();
    }
    name = Lower(host);
    return true;
}

bool HostAllowed(const std::string& field, const std::vector<std::string>& allowed)
{
    if (allowed.empty())
        return true;
    std::string name;
    if (!HostName(field, name) || name.empty())
        return false;
    unsigned char address[16];
    if (inet_pton(AF_INET, name.c_str(), address) == 1 ||
        inet_pton(AF_INET6, name.c_str(), address) == 1)
        return true;
    return std::any_of(allowed.begin(), allowed.end(), [&](const std::string& entry) {
        std::string allowedName;
        return (HostName(entry, allowedName) || HostName("[" + entry + "]", allowedName)) &&
               allowedName == name;
    });
}

namespace {

// The request line "METHOD TARGET VERSION"; an error status when it is not acceptable.
int ParseRequestLine(const std::string& line, HttpRequest& request)
{
    const size_t sp1 = line.find(' ');
    const size_t sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp1 == std::string::npos || sp2 == std::string::npos ||
        line.find(' ', sp2 + 1) != std::string::npos)
        return 400;
    const std::string method = line.substr(0, sp1);
    const std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::string version = line.substr(sp2 + 1);
    if (method.empty() ||
        !std::all_of(method.begin(), method.end(), [](char c) { return c >= 'A' && c <= 'Z'; }))
        return 400;
    if (version != "HTTP/1.1" && version != "HTTP/1.0")
        return version.rfind("HTTP/", 0) == 0 ? 505 : 400;
    if (target.empty() || target[0] != '/' ||
        std::any_of(target.begin(), target.end(),
                    [](unsigned char c) { return c <= 0x20 || c == 0x7F; }))
        return 400;
    request.method = method;
    request.version = version;
    const size_t question = target.find('?');
    request.path = target.substr(0, question);
    if (question != std::string::npos)
        request.query = target.substr(question + 1);
    return 0;
}

// A field name is a token: visible characters other than separators.
bool TokenChar(unsigned char c)
{
    return std::isalnum(c) ||
           std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

// The header fields between `pos` and `end`: well formed, without control characters in their
// values (NUL, a bare CR), with one valid Host (required by HTTP/1.1), and no body announced;
// an error status when not.
int CheckHeaderFields(const std::string& head, size_t pos, size_t end, HttpRequest& request)
{
    int hosts = 0;
    while (pos < end) {
        const size_t next = head.find("\r\n", pos);
        const std::string field = head.substr(pos, next - pos);
        pos = next + 2;
        const size_t colon = field.find(':');
        if (colon == std::string::npos || colon == 0 || field[0] == ' ' || field[0] == '\t' ||
            field.find_first_of(" \t") < colon)
            return 400;
        const std::string name = Lower(field.substr(0, colon));
        const std::string value = Trim(field.substr(colon + 1));
        if (!std::all_of(name.begin(), name.end(), TokenChar) ||
            std::any_of(value.begin(), value.end(),
                        [](unsigned char c) { return (c < 0x20 && c != '\t') || c == 0x7F; }))
            return 400;
        if (name == "host") {
            std::string host;
            if (++hosts > 1 || !HostName(value, host))
                return 400;
            request.host = value;
        }
        if (name == "authorization" && request.authorization.empty())
            request.authorization = value;
        if (name == "transfer-encoding")
            return 413;
        if (name == "content-length") {
            if (value.empty() || !std::all_of(value.begin(), value.end(),
                                              [](char c) { return c >= '0' && c <= '9'; }))
                return 400;
            if (value.find_first_not_of('0') != std::string::npos)
                return 413;
        }
    }
    return hosts == 0 && request.version == "HTTP/1.1" ? 400 : 0;
}

} // namespace

ParsedHead ParseRequestHead(const std::string& head, size_t maxHeadBytes)
{
    ParsedHead parsed;
    const size_t end = head.find("\r\n\r\n");
    if (end == std::string::npos) {
        parsed.error = head.size() >= maxHeadBytes ? 431 : 400;
        return parsed;
    }
    if (end + 4 > maxHeadBytes) {
        parsed.error = 431;
        return parsed;
    }
    const size_t lineEnd = head.find("\r\n");
    HttpRequest request;
    parsed.error = ParseRequestLine(head.substr(0, lineEnd), request);
    if (parsed.error == 0)
        parsed.error = CheckHeaderFields(head, lineEnd + 2, end, request);
    if (parsed.error == 0)
        parsed.request = std::move(request);
    return parsed;
}

std::string SerializeResponse(const HttpResponse& response, bool head)
{
    std::string out = "HTTP/1.1 " + std::to_string(response.status) + " " +
                      ReasonPhrase(response.status) + "\r\n";
    out += "Content-Type: " + response.contentType + "\r\n";
    out += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
    out += "Cache-Control: no-store\r\n";
    out += "X-Content-Type-Options: nosniff\r\n";
    for (const auto& [name, value] : response.headers)
        out += name + ": " + value + "\r\n";
    out += "Connection: close\r\n\r\n";
    if (!head)
        out += response.body;
    return out;
}

} // namespace kwotarv
