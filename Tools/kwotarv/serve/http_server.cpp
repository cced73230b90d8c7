// The HTTP server of `kwotarv serve`: BSD sockets on Linux, Winsock on Windows, behind a few
// small shims. Requests carry no body (the endpoints only answer GET and HEAD), so a connection
// goes through four phases: reading the request head, waiting for its handler, writing the
// answer, and draining what the client still sends before the socket is closed (so the answer
// is not cut off by a reset).
#include "serve/http_server.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <stdexcept>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace kwotarv {

namespace {

using Clock = std::chrono::steady_clock;

#if defined(_WIN32)
using NativeSocket = SOCKET;
using PollFd = WSAPOLLFD;
constexpr int kSendFlags = 0;
constexpr int kShutdownSend = SD_SEND;

void CloseSocket(intptr_t s)
{
    closesocket(static_cast<NativeSocket>(s));
}
int Poll(std::vector<PollFd>& fds, int milliseconds)
{
    return WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), milliseconds);
}
void SetNonBlocking(intptr_t s)
{
    u_long on = 1;
    ioctlsocket(static_cast<NativeSocket>(s), FIONBIO, &on);
}
bool WouldBlock()
{
    const int error = WSAGetLastError();
    return error == WSAEWOULDBLOCK || error == WSAEINTR;
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
using PollFd = pollfd;
constexpr int kSendFlags = MSG_NOSIGNAL;
constexpr int kShutdownSend = SHUT_WR;

void CloseSocket(intptr_t s)
{
    close(static_cast<NativeSocket>(s));
}
int Poll(std::vector<PollFd>& fds, int milliseconds)
{
    return poll(fds.data(), static_cast<nfds_t>(fds.size()), milliseconds);
}
void SetNonBlocking(intptr_t s)
{
    const int flags = fcntl(static_cast<NativeSocket>(s), F_GETFL, 0);
    fcntl(static_cast<NativeSocket>(s), F_SETFL, flags | O_NONBLOCK);
}
bool WouldBlock()
{
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
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

// The lingering close: how long, and how much, the server still reads after its answer.
constexpr auto kDrainTime = std::chrono::milliseconds(1000);
constexpr size_t kDrainBytes = 1 << 16;
constexpr size_t kAcceptsPerRound = 64;

std::string ErrorResponse(int status)
{
    HttpResponse response;
    response.status = status;
    response.body = ReasonPhrase(status) + "\n";
    return SerializeResponse(response, false);
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

// The address a socket is bound to, "127.0.0.1:40123" or "[::1]:40123", and its port.
std::string LocalAddress(NativeSocket s, uint16_t& port)
{
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    getsockname(s, reinterpret_cast<sockaddr*>(&local), &length);
    char text[INET6_ADDRSTRLEN] = {};
    if (local.ss_family == AF_INET6) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&local);
        inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text);
        port = ntohs(in6->sin6_port);
        return "[" + std::string(text) + "]:" + std::to_string(port);
    }
    auto* in4 = reinterpret_cast<sockaddr_in*>(&local);
    inet_ntop(AF_INET, &in4->sin_addr, text, sizeof text);
    port = ntohs(in4->sin_port);
    return std::string(text) + ":" + std::to_string(port);
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
    const size_t question = target.find('?');
    request.path = target.substr(0, question);
    if (question != std::string::npos)
        request.query = target.substr(question + 1);
    return 0;
}

// The header fields between `pos` and `end`: well formed, and no body announced; an error
// status when not.
int CheckHeaderFields(const std::string& head, size_t pos, size_t end)
{
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
    return 0;
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
        parsed.error = CheckHeaderFields(head, lineEnd + 2, end);
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

struct HttpServer::Connection {
    enum class Phase { Reading, Handling, Writing, Draining };
    Socket socket = -1;
    Phase phase = Phase::Reading;
    std::string data; // the head as it arrives, then the answer
    size_t sent = 0;
    size_t drained = 0;
    Clock::time_point deadline;
};

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
    if (listener_ != -1)
        CloseSocket(listener_);
    if (wakeup_ != -1)
        CloseSocket(wakeup_);
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
        bound_ = LocalAddress(s, boundPort_);
        listener_ = static_cast<intptr_t>(s);
        break;
    }
    freeaddrinfo(found);
    if (listener_ == -1)
        throw std::runtime_error(host + ":" + service + ": " + failure);
    SetNonBlocking(listener_);

    OpenWakeupSocket();
}

// The wake-up socket: datagrams to itself on the loopback interface.
void HttpServer::OpenWakeupSocket()
{
    NativeSocket w = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in self{};
    self.sin_family = AF_INET;
    self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t selfLength = sizeof self;
    if (InvalidSocket(w) || bind(w, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0 ||
        getsockname(w, reinterpret_cast<sockaddr*>(&self), &selfLength) != 0 ||
        connect(w, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0) {
        if (!InvalidSocket(w))
            CloseSocket(static_cast<intptr_t>(w));
        throw std::runtime_error("cannot create the server's wake-up socket: " + LastSocketError());
    }
    wakeup_ = static_cast<intptr_t>(w);
    SetNonBlocking(wakeup_);
}

void HttpServer::Wake()
{
    const char byte = 1;
    send(static_cast<NativeSocket>(wakeup_), &byte, 1, 0);
}

void HttpServer::Run(const std::function<bool()>& stop)
{
    if (listener_ == -1)
        throw std::logic_error("HttpServer::Run before Listen");
    for (unsigned i = 0; i < std::max(1u, limits_.workers); ++i)
        workers_.emplace_back([this] { Work(); });

    using Phase = Connection::Phase;
    Connections connections;
    std::vector<PollFd> fds;
    std::vector<uint64_t> ids; // connection of each fds entry from the third on
    while (!stop()) {
        TakeAnswers(connections);

        fds.clear();
        ids.clear();
        fds.push_back({static_cast<NativeSocket>(listener_), POLLIN, 0});
        fds.push_back({static_cast<NativeSocket>(wakeup_), POLLIN, 0});
        for (auto& [id, c] : connections) {
            if (c.phase == Phase::Handling)
                continue;
            const short events = c.phase == Phase::Writing ? POLLOUT : POLLIN;
            fds.push_back({static_cast<NativeSocket>(c.socket), events, 0});
            ids.push_back(id);
        }
        if (Poll(fds, 100) < 0)
            continue;

        if (fds[1].revents != 0) {
            char discard[64];
            while (recv(static_cast<NativeSocket>(wakeup_), discard, sizeof discard, 0) > 0) {
            }
        }
        if (fds[0].revents != 0)
            Accept(connections);
        for (size_t i = 2; i < fds.size(); ++i) {
            if (fds[i].revents == 0)
                continue;
            auto it = connections.find(ids[i - 2]);
            if (it == connections.end())
                continue;
            if (it->second.phase == Phase::Reading)
                ReadHead(connections, it);
            else if (it->second.phase == Phase::Writing)
                WriteAnswer(connections, it);
            else if (it->second.phase == Phase::Draining)
                Drain(connections, it);
        }
        EnforceDeadlines(connections);
    }

    StopWorkers();
    for (auto it = connections.begin(); it != connections.end();)
        it = CloseConnection(connections, it);
    jobs_.clear();
    done_.clear();
}

// Answers the workers finished go out to their connections.
void HttpServer::TakeAnswers(Connections& connections)
{
    std::lock_guard lock(mutex_);
    for (auto& done : done_)
        if (auto it = connections.find(done.id); it != connections.end())
            StartWriting(it->second, std::move(done.bytes));
    done_.clear();
}

void HttpServer::StartWriting(Connection& c, std::string bytes)
{
    c.phase = Connection::Phase::Writing;
    c.data = std::move(bytes);
    c.sent = 0;
    c.deadline = Clock::now() + limits_.writeTimeout;
}

void HttpServer::Accept(Connections& connections)
{
    for (size_t i = 0; i < kAcceptsPerRound; ++i) {
        const NativeSocket s = accept(static_cast<NativeSocket>(listener_), nullptr, nullptr);
        if (InvalidSocket(s))
            break;
        if (connections.size() >= limits_.maxConnections) {
            CloseSocket(static_cast<intptr_t>(s)); // refused: too many at once
            continue;
        }
        SetNonBlocking(static_cast<intptr_t>(s));
        Connection c;
        c.socket = static_cast<intptr_t>(s);
        c.deadline = Clock::now() + limits_.readTimeout;
        connections.emplace(nextId_++, std::move(c));
    }
}

// Reads what arrived of the request head; a complete head goes to the workers, a bad one is
// answered with its error status.
void HttpServer::ReadHead(Connections& connections, Connections::iterator it)
{
    Connection& c = it->second;
    char buffer[4096];
    const size_t room = std::min(sizeof buffer, limits_.maxHeadBytes + 1 - c.data.size());
    const auto n = recv(static_cast<NativeSocket>(c.socket), buffer, static_cast<int>(room), 0);
    if (n == 0 || (n < 0 && !WouldBlock())) {
        CloseConnection(connections, it); // the client went away
        return;
    }
    if (n < 0)
        return;
    c.data.append(buffer, static_cast<size_t>(n));
    const bool complete = c.data.find("\r\n\r\n") != std::string::npos;
    if (!complete && c.data.size() < limits_.maxHeadBytes)
        return;
    ParsedHead parsed = ParseRequestHead(c.data, limits_.maxHeadBytes);
    if (parsed.error != 0) {
        StartWriting(c, ErrorResponse(parsed.error));
        return;
    }
    c.phase = Connection::Phase::Handling;
    c.data.clear();
    {
        std::lock_guard lock(mutex_);
        // Behind the requests already waiting for the first path, before all others.
        const bool first = !firstPath_.empty() && parsed.request.path == firstPath_;
        auto place =
            first ? std::find_if(jobs_.begin(), jobs_.end(),
                                 [this](const Job& j) { return j.request.path != firstPath_; })
                  : jobs_.end();
        jobs_.insert(place, {it->first, std::move(parsed.request)});
    }
    ready_.notify_one();
}

// Sends the next part of the answer; once all of it is out, the sending side is shut down and
// the connection drained.
void HttpServer::WriteAnswer(Connections& connections, Connections::iterator it)
{
    Connection& c = it->second;
    const size_t chunk = std::min<size_t>(c.data.size() - c.sent, 1 << 16);
    const auto n = send(static_cast<NativeSocket>(c.socket), c.data.data() + c.sent,
                        static_cast<int>(chunk), kSendFlags);
    if (n < 0 && !WouldBlock()) {
        CloseConnection(connections, it);
        return;
    }
    if (n > 0)
        c.sent += static_cast<size_t>(n);
    if (c.sent == c.data.size()) {
        shutdown(static_cast<NativeSocket>(c.socket), kShutdownSend);
        c.phase = Connection::Phase::Draining;
        c.data.clear();
        c.deadline = Clock::now() + kDrainTime;
    }
}

void HttpServer::Drain(Connections& connections, Connections::iterator it)
{
    Connection& c = it->second;
    char buffer[4096];
    const auto n = recv(static_cast<NativeSocket>(c.socket), buffer, sizeof buffer, 0);
    if (n == 0 || (n < 0 && !WouldBlock()) ||
        (c.drained += std::max<ptrdiff_t>(n, 0)) > kDrainBytes)
        CloseConnection(connections, it);
}

// A head that does not arrive in time is answered 408; an answer that cannot be sent in time,
// and a drain that does not end, close the connection.
void HttpServer::EnforceDeadlines(Connections& connections)
{
    const auto now = Clock::now();
    for (auto it = connections.begin(); it != connections.end();) {
        Connection& c = it->second;
        if (c.phase == Connection::Phase::Handling || now < c.deadline) {
            ++it;
        } else if (c.phase == Connection::Phase::Reading) {
            StartWriting(c, ErrorResponse(408));
            c.deadline = now + std::chrono::milliseconds(1000);
            ++it;
        } else {
            it = CloseConnection(connections, it);
        }
    }
}

HttpServer::Connections::iterator HttpServer::CloseConnection(Connections& connections,
                                                              Connections::iterator it)
{
    CloseSocket(it->second.socket);
    return connections.erase(it);
}

void HttpServer::StopWorkers()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    ready_.notify_all();
    for (auto& worker : workers_)
        worker.join();
    workers_.clear();
}

void HttpServer::Work()
{
    for (;;) {
        Job job;
        {
            std::unique_lock lock(mutex_);
            ready_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (stopping_)
                return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        HttpResponse response;
        try {
            response = handler_(job.request);
        } catch (const std::exception& error) {
            response = {};
            response.status = 500;
            response.body = std::string("internal error: ") + error.what() + "\n";
        }
        std::string bytes = SerializeResponse(response, job.request.method == "HEAD");
        {
            std::lock_guard lock(mutex_);
            done_.push_back({job.id, std::move(bytes)});
        }
        Wake();
    }
}

} // namespace kwotarv
