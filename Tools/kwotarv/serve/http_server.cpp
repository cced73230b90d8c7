// The HTTP server of `kwotarv serve`: BSD sockets on Linux, Winsock on Windows, behind a few
// small shims; a connection's bytes go through its transport (transport.hpp). Requests carry
// no body (the endpoints only answer GET and HEAD), so a connection goes through five phases:
// the transport's handshake (nothing for plain HTTP), reading the request head, waiting for its
// handler, writing the answer, and draining what the client still sends before the socket is
// closed (so the answer is not cut off by a reset).
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
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace kwotarv {

namespace {

using Clock = std::chrono::steady_clock;

#if defined(_WIN32)
using NativeSocket = SOCKET;
using PollFd = WSAPOLLFD;

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
bool OutOfDescriptors()
{
    const int error = WSAGetLastError();
    return error == WSAEMFILE || error == WSAENOBUFS;
}
// Winsock has no per-process descriptor limit to keep within.
size_t DescriptorBudget(size_t wanted)
{
    return wanted;
}
void SetV6Only(NativeSocket s)
{
    DWORD on = 1;
    setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&on), sizeof on);
}
#else
using NativeSocket = int;
using PollFd = pollfd;

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
void StartSockets() {}
bool InvalidSocket(NativeSocket s)
{
    return s < 0;
}
std::string LastSocketError()
{
    return std::strerror(errno);
}
bool OutOfDescriptors()
{
    return errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM;
}
// How many connections fit beside the descriptors the rest of the program needs: the soft
// limit is raised toward the hard one as far as `wanted` calls for.
size_t DescriptorBudget(size_t wanted)
{
    constexpr rlim_t kReserved = 32; // the tool's own files, the device, the handlers
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return wanted;
    const rlim_t want = static_cast<rlim_t>(wanted) + kReserved;
    if (limit.rlim_cur < want && limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = std::min(want, limit.rlim_max);
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0)
            limit = raised;
    }
    const rlim_t reserved = std::min(kReserved, limit.rlim_cur / 2);
    return std::max<size_t>(1, std::min<size_t>(wanted, limit.rlim_cur - reserved));
}
void SetV6Only(NativeSocket s)
{
    int on = 1;
    setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
}
#endif

// The lingering close: how long, and how much, the server still reads after its answer.
constexpr auto kDrainTime = std::chrono::milliseconds(1000);
constexpr size_t kDrainBytes = 1 << 16;
constexpr size_t kAcceptsPerRound = 64;
// How long listening pauses after accept() found no descriptor left.
constexpr auto kAcceptPause = std::chrono::milliseconds(100);

// Every answer is dated when it is made.
std::string Serialize(HttpResponse response, bool head)
{
    response.headers.insert(response.headers.begin(), {"Date", HttpDate(std::time(nullptr))});
    return SerializeResponse(response, head);
}

std::string ErrorResponse(int status)
{
    HttpResponse response;
    response.status = status;
    response.body = ReasonPhrase(status) + "\n";
    return Serialize(std::move(response), false);
}

// Answers a connection 503 at once, in plain HTTP, and closes it; what the client sent so far is
// read first, so that the close does not reset the connection before the answer is read.
void Refuse(NativeSocket s)
{
    SetNonBlocking(static_cast<intptr_t>(s));
    char discard[4096];
    recv(s, discard, sizeof discard, 0);
    const std::string answer = ErrorResponse(503);
    SocketWrite(static_cast<intptr_t>(s), answer.data(), answer.size());
    SocketCloseSending(static_cast<intptr_t>(s));
    CloseSocket(static_cast<intptr_t>(s));
}

// The address a client's connections are counted under: an IPv4 address, or the /64 network
// of an IPv6 one (a host usually has a whole /64); IPv4-mapped IPv6 counts as IPv4.
std::string ClientKey(const sockaddr_storage& peer)
{
    if (peer.ss_family == AF_INET) {
        const auto& in4 = reinterpret_cast<const sockaddr_in&>(peer).sin_addr;
        return std::string(reinterpret_cast<const char*>(&in4), 4);
    }
    if (peer.ss_family == AF_INET6) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(
            &reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr);
        static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
        if (std::equal(kMapped, kMapped + 12, bytes))
            return std::string(reinterpret_cast<const char*>(bytes + 12), 4);
        return std::string(reinterpret_cast<const char*>(bytes), 8) + "/64";
    }
    return {};
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

struct HttpServer::Connection {
    enum class Phase { Handshaking, Reading, Handling, Writing, Draining };
    Socket socket = -1;
    std::unique_ptr<Transport> transport;
    IoResult::Status wait = IoResult::Status::Done; // what the transport last waited for
    Phase phase = Phase::Handshaking;
    std::string client; // counted under this key (ClientKey) in perClient_
    std::string data;   // the head as it arrives, then the answer
    size_t sent = 0;
    size_t drained = 0;
    Clock::time_point deadline;
};

HttpServer::HttpServer(HttpHandler handler, HttpLimits limits,
                       std::shared_ptr<const TransportFactory> transports)
    : handler_(std::move(handler)), limits_(limits),
      transports_(transports ? std::move(transports) : std::make_shared<PlainTransports>())
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
    for (Socket listener : listeners_)
        CloseSocket(listener);
    for (Socket s : {wakeup_, spare_})
        if (s != -1)
            CloseSocket(s);
}

void HttpServer::Listen(const std::string& host, uint16_t port, bool v6Only)
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
    Socket listener = -1;
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
        if (v6Only && a->ai_family == AF_INET6)
            SetV6Only(s);
        // The longest queue the system allows: a burst of connections waits rather than being
        // dropped.
        if (bind(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0 ||
            listen(s, SOMAXCONN) != 0) {
            failure = "cannot listen: " + LastSocketError();
            CloseSocket(static_cast<intptr_t>(s));
            continue;
        }
        uint16_t boundPort = 0;
        bound_.push_back(LocalAddress(s, boundPort));
        listener = static_cast<intptr_t>(s);
        break;
    }
    freeaddrinfo(found);
    if (listener == -1)
        throw std::runtime_error(host + ":" + service + ": " + failure);
    SetNonBlocking(listener);
    listeners_.push_back(listener);

    if (wakeup_ == -1)
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
    if (listeners_.empty())
        throw std::logic_error("HttpServer::Run before Listen");
    capacity_ = DescriptorBudget(limits_.maxConnections);
    if (spare_ == -1)
        spare_ = static_cast<Socket>(socket(AF_INET, SOCK_DGRAM, 0));
    for (unsigned i = 0; i < std::max(1u, limits_.workers); ++i)
        workers_.emplace_back([this] { Work(); });

    using Phase = Connection::Phase;
    Connections connections;
    std::vector<PollFd> fds;
    std::vector<uint64_t> ids; // connection of each fds entry after the listeners
    while (!stop()) {
        TakeAnswers(connections);

        fds.clear();
        ids.clear();
        fds.push_back({static_cast<NativeSocket>(wakeup_), POLLIN, 0});
        const size_t listening = Clock::now() >= acceptFrom_ ? listeners_.size() : 0;
        for (size_t i = 0; i < listening; ++i)
            fds.push_back({static_cast<NativeSocket>(listeners_[i]), POLLIN, 0});
        for (auto& [id, c] : connections) {
            if (c.phase == Phase::Handling)
                continue;
            short events = c.phase == Phase::Writing ? POLLOUT : POLLIN;
            if (c.wait != IoResult::Status::Done) // a TLS session may need the other way
                events = c.wait == IoResult::Status::WantWrite ? POLLOUT : POLLIN;
            fds.push_back({static_cast<NativeSocket>(c.socket), events, 0});
            ids.push_back(id);
        }
        if (Poll(fds, 100) < 0)
            continue;

        if (fds[0].revents != 0) {
            char discard[64];
            while (recv(static_cast<NativeSocket>(wakeup_), discard, sizeof discard, 0) > 0) {
            }
        }
        for (size_t i = 0; i < listening; ++i)
            if (fds[1 + i].revents != 0)
                Accept(connections, listeners_[i]);
        for (size_t i = 1 + listening; i < fds.size(); ++i) {
            if (fds[i].revents == 0)
                continue;
            auto it = connections.find(ids[i - 1 - listening]);
            if (it == connections.end())
                continue;
            if (it->second.phase == Phase::Handshaking)
                Handshake(connections, it);
            else if (it->second.phase == Phase::Reading)
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
    c.wait = IoResult::Status::Done;
    c.deadline = Clock::now() + limits_.writeTimeout;
}

// Takes the connections waiting on `listener`: into the table while it has room and the client
// has not reached its share, answered 503 otherwise.
void HttpServer::Accept(Connections& connections, Socket listener)
{
    for (size_t i = 0; i < kAcceptsPerRound; ++i) {
        sockaddr_storage peer{};
        socklen_t peerLength = sizeof peer;
        const NativeSocket s = accept(static_cast<NativeSocket>(listener),
                                      reinterpret_cast<sockaddr*>(&peer), &peerLength);
        if (InvalidSocket(s)) {
            if (OutOfDescriptors())
                ShedOne(listener);
            break;
        }
        std::string client = ClientKey(peer);
        size_t& fromClient = perClient_[client];
        if (connections.size() >= capacity_ || fromClient >= limits_.maxPerClient) {
            if (fromClient == 0)
                perClient_.erase(client);
            Refuse(s);
            continue;
        }
        ++fromClient;
        SetNonBlocking(static_cast<intptr_t>(s));
        Connection c;
        c.socket = static_cast<intptr_t>(s);
        c.client = std::move(client);
        c.transport = transports_->Open(c.socket);
        c.deadline = Clock::now() + limits_.readTimeout; // the handshake's and the head's
        Handshake(connections, connections.emplace(nextId_++, std::move(c)).first);
    }
}

// Goes on with the transport's handshake (done at once for plain HTTP); one that fails, plain
// HTTP sent to a TLS port among them, closes the connection.
void HttpServer::Handshake(Connections& connections, Connections::iterator it)
{
    Connection& c = it->second;
    const IoResult result = c.transport->Handshake();
    c.wait = result.status;
    if (result.status == IoResult::Status::Closed) {
        CloseConnection(connections, it);
    } else if (result.status == IoResult::Status::Done) {
        c.phase = Connection::Phase::Reading;
        if (c.transport->Pending())
            ReadHead(connections, it);
    }
}

// No descriptor is left for a waiting connection: the spare one is given up to answer it 503,
// and listening pauses for a moment, so that the loop does not spin on a socket that stays
// readable; it resumes by itself when descriptors come back.
void HttpServer::ShedOne(Socket listener)
{
    acceptFrom_ = Clock::now() + kAcceptPause;
    if (spare_ == -1)
        return;
    CloseSocket(spare_);
    const NativeSocket s = accept(static_cast<NativeSocket>(listener), nullptr, nullptr);
    if (!InvalidSocket(s))
        Refuse(s);
    const NativeSocket spare = socket(AF_INET, SOCK_DGRAM, 0);
    spare_ = InvalidSocket(spare) ? -1 : static_cast<Socket>(spare);
}

// Reads what arrived of the request head; a complete head goes to the workers, a bad one is
// answered with its error status.
void HttpServer::ReadHead(Connections& connections, Connections::iterator it)
{
    Connection& c = it->second;
    char buffer[4096];
    for (;;) { // more than one read only while a TLS session holds decoded bytes
        const size_t room = std::min(sizeof buffer, limits_.maxHeadBytes + 1 - c.data.size());
        const IoResult result = c.transport->Read(buffer, room);
        c.wait = result.status;
        if (result.status == IoResult::Status::Closed) {
            CloseConnection(connections, it); // the client went away
            return;
        }
        if (result.status != IoResult::Status::Done)
            return;
        c.data.append(buffer, result.bytes);
        const bool complete = c.data.find("\r\n\r\n") != std::string::npos;
        if (complete || c.data.size() >= limits_.maxHeadBytes)
            break;
        if (!c.transport->Pending())
            return;
    }
    ParsedHead parsed = ParseRequestHead(c.data, limits_.maxHeadBytes);
    if (parsed.error == 0 && !HostAllowed(parsed.request.host, allowedHosts_))
        parsed.error = 421; // a name this server does not answer to (DNS rebinding)
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
    const IoResult result = c.transport->Write(c.data.data() + c.sent, chunk);
    c.wait = result.status;
    if (result.status == IoResult::Status::Closed) {
        CloseConnection(connections, it);
        return;
    }
    c.sent += result.bytes;
    if (c.sent == c.data.size()) {
        c.transport->CloseSending();
        c.wait = IoResult::Status::Done;
        c.phase = Connection::Phase::Draining;
        c.data.clear();
        c.deadline = Clock::now() + kDrainTime;
    }
}

void HttpServer::Drain(Connections& connections, Connections::iterator it)
{
    Connection& c = it->second;
    char buffer[4096];
    const IoResult result = c.transport->Discard(buffer, sizeof buffer);
    if (result.status == IoResult::Status::Closed || (c.drained += result.bytes) > kDrainBytes)
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
    if (auto client = perClient_.find(it->second.client);
        client != perClient_.end() && --client->second == 0)
        perClient_.erase(client);
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
        std::string bytes = Serialize(std::move(response), job.request.method == "HEAD");
        {
            std::lock_guard lock(mutex_);
            done_.push_back({job.id, std::move(bytes)});
        }
        Wake();
    }
}

} // namespace kwotarv
