// A small HTTP/1.1 server for `kwotarv serve`: GET and HEAD requests without bodies, one request
// per connection. One thread owns every socket and polls them (reading request heads, writing
// answers, closing), each phase under its own deadline; a fixed pool of workers only runs the
// handler. So a slow or hostile client holds one of a bounded number of connection slots for
// at most its timeout, never a worker, and never the readings; one client address holds at most
// a bounded share of the slots. The same code runs on Linux and on Windows (Winsock).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "serve/http_message.hpp"
#include "serve/transport.hpp"

namespace kwotarv {

using HttpHandler = std::function<HttpResponse(const HttpRequest&)>;

struct HttpLimits {
    unsigned workers = 4; // handlers run at once
    // Open at once (fewer when the descriptor limit does not allow as many); more are answered 503.
    size_t maxConnections = 8192;
    // Open at once from one client address (IPv6: one /64); more are answered 503.
    size_t maxPerClient = 256;
    size_t maxHeadBytes = 8192;                   // request line and headers; no body accepted
    std::chrono::milliseconds readTimeout{5000};  // to receive the whole request head
    std::chrono::milliseconds writeTimeout{5000}; // to send the whole answer
};

// "127.0.0.1:9788", "[::1]:9788", "0.0.0.0:9788", "localhost:9788" split into host and port;
// false when malformed.
bool SplitListenAddress(const std::string& text, std::string& host, uint16_t& port);

class HttpServer {
  public:
    // `transports` carries each connection's bytes (plain HTTP when null); a TLS handshake
    // counts against the head's deadline.
    HttpServer(HttpHandler handler, HttpLimits limits = {},
               std::shared_ptr<const TransportFactory> transports = nullptr);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds and listens, beside the addresses already listened on; throws std::runtime_error
    // saying why not. `v6Only` keeps an IPv6 socket off IPv4, so that both can be listened on.
    void Listen(const std::string& host, uint16_t port, bool v6Only = false);
    // The addresses actually bound, "127.0.0.1:40123" ("[::1]:40123" for IPv6), in the order
    // listened on.
    const std::vector<std::string>& BoundAddresses() const { return bound_; }
    std::string BoundAddress() const { return bound_.empty() ? std::string() : bound_.front(); }

    // Requests whose Host is not among `names` (see HostAllowed) are answered 421.
    void AllowHosts(std::vector<std::string> names) { allowedHosts_ = std::move(names); }
    // "http" or "https".
    const char* Scheme() const { return transports_->Scheme(); }

    // Requests for `path` go before the others waiting for a worker.
    void AnswerFirst(std::string path) { firstPath_ = std::move(path); }

    // Serves until `stop` returns true (checked several times a second), then closes every
    // connection and returns.
    void Run(const std::function<bool()>& stop);

  private:
    using Socket = intptr_t;
    using Clock = std::chrono::steady_clock;
    struct Connection;
    struct Job {
        uint64_t id;
        HttpRequest request;
    };
    struct Done {
        uint64_t id;
        std::string bytes;
    };

    // The phases of one round of Run's poll loop; `Connections` are the open connections by id.
    using Connections = std::map<uint64_t, Connection>;
    void TakeAnswers(Connections& connections);
    void Accept(Connections& connections, Socket listener);
    void ShedOne(Socket listener);
    void Handshake(Connections& connections, Connections::iterator it);
    void ReadHead(Connections& connections, Connections::iterator it);
    void WriteAnswer(Connections& connections, Connections::iterator it);
    void Drain(Connections& connections, Connections::iterator it);
    void EnforceDeadlines(Connections& connections);
    void StartWriting(Connection& connection, std::string bytes);
    Connections::iterator CloseConnection(Connections& connections, Connections::iterator it);
    void StopWorkers();
    void OpenWakeupSocket();

    void Work();
    void Wake();

    HttpHandler handler_;
    HttpLimits limits_;
    std::shared_ptr<const TransportFactory> transports_;
    std::vector<std::string> allowedHosts_;
    std::vector<Socket> listeners_;
    std::string firstPath_;
    Socket wakeup_ = -1; // a UDP socket connected to itself: workers wake the poll loop
    Socket spare_ = -1;  // a descriptor kept to answer one client 503 when none is left
    std::vector<std::string> bound_;
    size_t capacity_ = 0;                     // connections open at once
    std::map<std::string, size_t> perClient_; // open connections by client address
    // Listening sockets are polled only from this time on: a pause after running out of
    // descriptors, instead of a loop that accepts nothing.
    Clock::time_point acceptFrom_;

    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Job> jobs_;
    std::deque<Done> done_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
    uint64_t nextId_ = 1; // of the next connection accepted
};

} // namespace kwotarv
