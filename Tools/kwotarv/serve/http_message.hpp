// The HTTP/1.1 messages serve reads and writes: a request head's parts and the rules it must
// follow, a response and its bytes, and the Host field's rules.
#pragma once

#include <cstddef>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

namespace kwotarv {

struct HttpRequest {
    std::string method;  // "GET", "HEAD", ...
    std::string path;    // the target up to '?'
    std::string query;   // after '?', undecoded
    std::string version; // "HTTP/1.1" or "HTTP/1.0"
    std::string host;    // the Host field as sent; empty when absent
    // The Authorization header's value, if any.
    std::string authorization;
};

struct HttpResponse {
    int status = 200;
    std::string contentType = "text/plain; charset=utf-8";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers; // extra headers
};

// The parts of a request head this server uses; an error status (400, 413, 431, 501, 505) when
// the head is not acceptable: among others an HTTP/1.1 request without exactly one valid Host,
// and control characters other than tab in a field value.
struct ParsedHead {
    int error = 0;
    HttpRequest request;
};
ParsedHead ParseRequestHead(const std::string& head, size_t maxHeadBytes);

// The response as sent: status line, headers (Content-Length, Connection: close) and, unless
// `head` (a HEAD request), the body.
std::string SerializeResponse(const HttpResponse& response, bool head);

std::string ReasonPhrase(int status);

// The Date header's form of `time`: "Tue, 08 Dec 2026 15:31:55 GMT".
std::string HttpDate(std::time_t time);

// The name in a Host field without its port, lower case, without the brackets of an IPv6
// literal and without a final dot; false when the field is not a valid host[:port].
bool HostName(const std::string& field, std::string& name);

// Whether a request for `field` is for this server: any when `allowed` is empty, else a name of
// `allowed` (compared as HostName does) or an IP address literal, which no DNS rebinding can
// produce.
bool HostAllowed(const std::string& field, const std::vector<std::string>& allowed);

} // namespace kwotarv
