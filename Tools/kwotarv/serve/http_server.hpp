// A small HTTP/1.1 server for `kwotarv serve`: GET and HEAD requests without bodies, one request
// per connection. One thread owns every socket and polls them (reading request heads, writing
// answers, closing), each phase under its own deadline; a fixed pool of workers only runs the
// handler. So a slow or hostile client holds one of a bounded number of connection slots for
// at most its timeout, never a worker, and never the readings. The same code runs on Linux and
// on Windows (Winsock).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kwotarv {

struct HttpRequest {
    std::string method; // "GET", "HEAD", ...
    std::string path;   // the target up to '?'
    std::string query;  // after '?', undecoded
};

struct HttpResponse {
    int status = 200;
    std::string contentType = "text/plain; charset=utf-8";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers; // extra headers
};

using HttpHandler = std::function<HttpResponse(const HttpRequest&)>;

struct HttpLimits {
    unsigned workers = 4;                         // handlers run at once
    size_t maxConnections = 256;                  // open at once; more are refused
    size_t maxHeadBytes = 8192;                   // request line and headers; no body accepted
    std::chrono::milliseconds readTimeout{5000};  // to receive the whole request head
    std::chrono::milliseconds writeTimeout{5000}; // to send the whole answer
};

// "127.0.0.1:9788", "[::1]:9788", "0.0.0.0:9788", "localhost:9788" split into host and port;
// false when malformed.
bool SplitListenAddress(const std::string& text, std::string& host, uint16_t& port);

// The parts of a request head this server uses; an error status (400, 413, 431, 501, 505) when
// the head is not acceptable.
struct ParsedHead {
    int error = 0;
    HttpRequest request;
};
ParsedHead ParseRequestHead(const std::string& head, size_t maxHeadBytes);

// The response as sent: status line, headers (Content-Length, Connection: close) and, unless
// `head` (a HEAD request), the body.
std::string SerializeResponse(const HttpResponse& response, bool head);

std::string ReasonPhrase(int status);

class HttpServer {
  public:
    HttpServer(HttpHandler handler, HttpLimits limits = {});
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds and listens; throws std::runtime_error saying why not.
    void Listen(const std::string& host, uint16_t port);
    // The address actually bound, "127.0.0.1:40123" ("[::1]:40123" for IPv6).
    std::string BoundAddress() const { return bound_; }
    uint16_t BoundPort() const { return boundPort_; }

    // Requests for `path` go before the others waiting for a worker.
    void AnswerFirst(std::string path) { firstPath_ = std::move(path); }

    // Serves until `stop` returns true (checked several times a second), then closes every
    // connection and returns.
    void Run(const std::function<bool()>& stop);

  private:
    using Socket = intptr_t;
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
    void Accept(Connections& connections);
    void ReadHead(Connections& connections, Connections::iterator it);
    void WriteAnswer(Connections& connections, Connections::iterator it);
    void Drain(Connections& connections, Connections::iterator it);
    void EnforceDeadlines(Connections& connections);
    void StartWriting(Connection& connection, std::string bytes);
    static Connections::iterator CloseConnection(Connections& connections,
                                                 Connections::iterator it);
    void StopWorkers();
    void OpenWakeupSocket();

    void Work();
    void Wake();

    HttpHandler handler_;
    HttpLimits limits_;
    std::string firstPath_;
    Socket listener_ = -1;
    Socket wakeup_ = -1; // a UDP socket connected to itself: workers wake the poll loop
    std::string bound_;
    uint16_t boundPort_ = 0;

    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Job> jobs_;
    std::deque<Done> done_;
    bool stopping_ = false;
    std::vector<std::thread> workers_;
    uint64_t nextId_ = 1; // of the next connection accepted
};

} // namespace kwotarv
