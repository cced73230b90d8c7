// The HTTP server of `kwotarv serve`: BSD sockets on Linux, Winsock on Windows, behind a few
// small shims. Requests carry no body (the endpoints only answer GET and HEAD), so the server
// reads one bounded request head per connection, answers and closes.
#include "http_server.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace kwotarv {

namespace {

using Clock = std::chrono::steady_clock;

#if defined(_WIN32)
using NativeSocket = SOCKET;
constexpr int kSendFlags = 0;
constexpr int kShutdownSend = SD_SEND;

void CloseSocket(intptr_t s)
{
    closesocket(static_cast<NativeSocket>(s));
}
int PollOne(intptr_t s, short events, int milliseconds)
{
    WSAPOLLFD fd{static_cast<NativeSocket>(s), events, 0};
    return WSAPoll(&fd, 1, milliseconds);
}
void SetSendTimeout(intptr_t s, std::chrono::milliseconds timeout)
{
    const DWORD ms = static_cast<DWORD>(timeout.count());
    setsockopt(static_cast<NativeSocket>(s), SOL_SOCKET, SO_SNDTIMEO,
               reinterpret_cast<const char*>(&ms), sizeof ms);
}
void StartSockets()
{
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started)
        throw std::runtime_error("the Windows socket library did not start");
}
bool InvalidSocket(NativeSocket s)
{
    return s == INVALID_SOCKET;
}
std::string LastSocketError()
{
    return "Winsock error " + std::to_string(WSAGetLastError());
}
#else
using NativeSocket = int;
constexpr int kSendFlags = MSG_NOSIGNAL;
constexpr int kShutdownSend = SHUT_WR;

void CloseSocket(intptr_t s)
{
    close(static_cast<NativeSocket>(s));
}
int PollOne(intptr_t s, short events, int milliseconds)
{
    pollfd fd{static_cast<NativeSocket>(s), events, 0};
    return poll(&fd, 1, milliseconds);
}
void SetSendTimeout(intptr_t s, std::chrono::milliseconds timeout)
{
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    setsockopt(static_cast<NativeSocket>(s), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}
void StartSockets() {}
bool InvalidSocket(NativeSocket s)
{
    return s < 0;
}
std::string LastSocketError()
{
    return std::strerror(errno);
}
#endif

bool SendAll(intptr_t s, const std::string& data)
{
    size_t sent = 0;
    while (sent < data.size()) {
        const int chunk = static_cast<int>(std::min<size_t>(data.size() - sent, 1 << 16));
        const auto n = send(static_cast<NativeSocket>(s), data.data() + sent, chunk, kSendFlags);
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

// Ends the connection so that the response is not cut off by a reset: stop sending, read
// briefly whatever the client still sends, close.
void Finish(intptr_t s)
{
    shutdown(static_cast<NativeSocket>(s), kShutdownSend);
    char discard[4096];
    const auto until = Clock::now() + std::chrono::milliseconds(200);
    size_t drained = 0;
    while (drained < (1u << 16)) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0 || PollOne(s, POLLIN, static_cast<int>(left)) <= 0)
            break;
        const auto n = recv(static_cast<NativeSocket>(s), discard, sizeof discard, 0);
        if (n <= 0)
            break;
        drained += static_cast<size_t>(n);
    }
    CloseSocket(s);
}

void Reject(intptr_t s, int status)
{
    SetSendTimeout(s, std::chrono::milliseconds(200));
    HttpResponse response;
    response.status = status;
    response.body = ReasonPhrase(status) + "\n";
    SendAll(s, SerializeResponse(response, false));
    Finish(s);
}

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

bool SplitListenAddress(const std::string& text, std::string& host, uint16_t& port)
{
    std::string portText;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':')
            return false;
        host = text.substr(1, close - 1);
        portText = text.substr(close + 2);
    } else {
        const size_t colon = text.rfind(':');
        if (colon == std::string::npos || text.find(':') != colon)
            return false;
        host = text.substr(0, colon);
        portText = text.substr(colon + 1);
    }
    if (host.empty() || portText.empty() || portText.size() > 5 ||
        !std::all_of(portText.begin(), portText.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    const unsigned long value = std::stoul(portText);
    if (value > 65535)
        return false;
    port = static_cast<uint16_t>(value);
    return true;
}

std::string ReasonPhrase(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
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
    const std::string line = head.substr(0, lineEnd);
    const size_t sp1 = line.find(' ');
    const size_t sp2 = sp1 == std::string::npos ? sp1 : line.find(' ', sp1 + 1);
    if (sp1 == std::string::npos || sp2 == std::string::npos ||
        line.find(' ', sp2 + 1) != std::string::npos) {
        parsed.error = 400;
        return parsed;
    }
    const std::string method = line.substr(0, sp1);
    const std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::string version = line.substr(sp2 + 1);
    if (method.empty() ||
        !std::all_of(method.begin(), method.end(), [](char c) { return c >= 'A' && c <= 'Z'; })) {
        parsed.error = 400;
        return parsed;
    }
    if (version != "HTTP/1.1" && version != "HTTP/1.0") {
        parsed.error = version.rfind("HTTP/", 0) == 0 ? 505 : 400;
        return parsed;
    }
    if (target.empty() || target[0] != '/' ||
        std::any_of(target.begin(), target.end(),
                    [](unsigned char c) { return c <= 0x20 || c == 0x7F; })) {
        parsed.error = 400;
        return parsed;
    }

    // Header fields: well formed, and no body announced.
    size_t pos = lineEnd + 2;
    while (pos < end) {
        const size_t next = head.find("\r\n", pos);
        const std::string field = head.substr(pos, next - pos);
        pos = next + 2;
        const size_t colon = field.find(':');
        if (colon == std::string::npos || colon == 0 || field[0] == ' ' || field[0] == '\t' ||
            field.find_first_of(" \t") < colon) {
            parsed.error = 400;
            return parsed;
        }
        const std::string name = Lower(field.substr(0, colon));
        const std::string value = Trim(field.substr(colon + 1));
        if (name == "transfer-encoding") {
            parsed.error = 413;
            return parsed;
        }
        if (name == "content-length") {
            if (value.empty() || !std::all_of(value.begin(), value.end(),
                                              [](char c) { return c >= '0' && c <= '9'; })) {
                parsed.error = 400;
                return parsed;
            }
            if (value.find_first_not_of('0') != std::string::npos) {
                parsed.error = 413;
                return parsed;
            }
        }
    }

    parsed.request.method = method;
    const size_t question = target.find('?');
    parsed.request.path = target.substr(0, question);
    if (question != std::string::npos)
        parsed.request.query = target.substr(question + 1);
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

HttpServer::HttpServer(HttpHandler handler, HttpLimits limits)
    : handler_(std::move(handler)), limits_(limits)
{
}

HttpServer::~HttpServer()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    ready_.notify_all();
    for (auto& worker : workers_)
        if (worker.joinable())
            worker.join();
    for (const auto& pending : queue_)
        CloseSocket(pending.socket);
    if (listener_ != -1)
        CloseSocket(listener_);
}

void HttpServer::Listen(const std::string& host, uint16_t port)
{
    StartSockets();
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &found) != 0 || found == nullptr)
        throw std::runtime_error("'" + host + "' is not an address of this machine");

    std::string failure = "no usable address";
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
        NativeSocket s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (InvalidSocket(s))
            continue;
        int on = 1;
#if defined(_WIN32)
        // Nobody else may bind the same port while the server holds it.
        setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                   sizeof on);
#else
        setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
#endif
        if (bind(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0 || listen(s, 64) != 0) {
            failure = "cannot listen: " + LastSocketError();
            CloseSocket(static_cast<intptr_t>(s));
            continue;
        }
        sockaddr_storage local{};
        socklen_t length = sizeof local;
        getsockname(s, reinterpret_cast<sockaddr*>(&local), &length);
        char text[INET6_ADDRSTRLEN] = {};
        if (local.ss_family == AF_INET6) {
            auto* in6 = reinterpret_cast<sockaddr_in6*>(&local);
            inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
            boundPort_ = ntohs(in6->sin6_port);
            bound_ = "[" + std::string(text) + "]:" + std::to_string(boundPort_);
        } else {
            auto* in4 = reinterpret_cast<sockaddr_in*>(&local);
            inet_ntop(AF_INET, &in4->sin_addr, text, sizeof text);
            boundPort_ = ntohs(in4->sin_port);
            bound_ = std::string(text) + ":" + std::to_string(boundPort_);
        }
        listener_ = static_cast<intptr_t>(s);
        break;
    }
    freeaddrinfo(found);
    if (listener_ == -1)
        throw std::runtime_error(host + ":" + service + ": " + failure);
}

void HttpServer::Run(const std::function<bool()>& stop)
{
    if (listener_ == -1)
        throw std::logic_error("HttpServer::Run before Listen");
    for (unsigned i = 0; i < std::max(1u, limits_.workers); ++i)
        workers_.emplace_back([this] { Work(); });

    while (!stop()) {
        if (PollOne(listener_, POLLIN, 100) <= 0)
            continue;
        const NativeSocket s = accept(static_cast<NativeSocket>(listener_), nullptr, nullptr);
        if (InvalidSocket(s))
            continue;
        bool queued = false;
        {
            std::lock_guard lock(mutex_);
            if (queue_.size() < limits_.queuedConnections) {
                queue_.push_back({static_cast<intptr_t>(s), Clock::now()});
                queued = true;
            }
        }
        if (queued)
            ready_.notify_one();
        else
            Reject(static_cast<intptr_t>(s), 503);
    }

    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    ready_.notify_all();
    for (auto& worker : workers_)
        worker.join();
    workers_.clear();
    for (const auto& pending : queue_)
        CloseSocket(pending.socket);
    queue_.clear();
}

void HttpServer::Work()
{
    for (;;) {
        Pending pending;
        {
            std::unique_lock lock(mutex_);
            ready_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (stopping_)
                return;
            pending = queue_.front();
            queue_.pop_front();
        }
        if (Clock::now() - pending.accepted > limits_.queueTimeout)
            Reject(pending.socket, 503);
        else
            Serve(pending.socket);
    }
}

void HttpServer::Serve(Socket s)
{
    SetSendTimeout(s, limits_.writeTimeout);
    const auto deadline = Clock::now() + limits_.readTimeout;
    std::string head;
    char buffer[4096];
    for (;;) {
        if (head.find("\r\n\r\n") != std::string::npos)
            break;
        if (head.size() >= limits_.maxHeadBytes) {
            Reject(s, 431);
            return;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0 || PollOne(s, POLLIN, static_cast<int>(left)) <= 0) {
            Reject(s, 408);
            return;
        }
        const size_t room = std::min(sizeof buffer, limits_.maxHeadBytes + 1 - head.size());
        const auto n = recv(static_cast<NativeSocket>(s), buffer, static_cast<int>(room), 0);
        if (n <= 0) {
            CloseSocket(s); // the client went away
            return;
        }
        head.append(buffer, static_cast<size_t>(n));
    }

    const ParsedHead parsed = ParseRequestHead(head, limits_.maxHeadBytes);
    if (parsed.error != 0) {
        Reject(s, parsed.error);
        return;
    }
    HttpResponse response;
    try {
        response = handler_(parsed.request);
    } catch (const std::exception& error) {
        response = {};
        response.status = 500;
        response.body = std::string("internal error: ") + error.what() + "\n";
    }
    SendAll(s, SerializeResponse(response, parsed.request.method == "HEAD"));
    Finish(s);
}

} // namespace kwotarv
