// How the HTTP server moves bytes on one connection: straight through the socket, or through a
// TLS session on it. Every call is non-blocking; a call that cannot go on says which way the
// socket must become ready before it is tried again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace kwotarv {

struct IoResult {
    enum class Status {
        Done,      // `bytes` moved (the handshake finished)
        WantRead,  // try again once the socket is readable
        WantWrite, // try again once the socket is writable
        Closed,    // the peer went away, or the connection failed
    };
    Status status = Status::Done;
    size_t bytes = 0;
};

// One recv or send on a non-blocking socket (never raising SIGPIPE): Done with the bytes moved,
// WantRead/WantWrite when it would block, Closed at the end of the stream or on an error.
IoResult SocketRead(intptr_t socket, char* buffer, size_t size);
IoResult SocketWrite(intptr_t socket, const char* data, size_t size);
// Shuts down the socket's sending side.
void SocketCloseSending(intptr_t socket);

class Transport {
  public:
    virtual ~Transport() = default;
    // Establishes the session; Done at once for plain sockets.
    virtual IoResult Handshake() = 0;
    virtual IoResult Read(char* buffer, size_t size) = 0;
    virtual IoResult Write(const char* data, size_t size) = 0;
    // Bytes already received and decoded that no poll of the socket will announce.
    virtual bool Pending() const { return false; }
    // Ends the sending side once the answer is out (TLS: close_notify first).
    virtual void CloseSending() = 0;
    // Reads and throws away what the peer still sends after the answer, below the session.
    IoResult Discard(char* buffer, size_t size);

  protected:
    explicit Transport(intptr_t socket) : socket_(socket) {}
    intptr_t socket_;
};

// Makes the transport of each accepted socket (which stays owned by the server).
class TransportFactory {
  public:
    virtual ~TransportFactory() = default;
    virtual std::unique_ptr<Transport> Open(intptr_t socket) const = 0;
    // "https" or "http", for the address the server prints.
    virtual const char* Scheme() const = 0;
};

// Plain HTTP: bytes straight through the socket.
class PlainTransports : public TransportFactory {
  public:
    std::unique_ptr<Transport> Open(intptr_t socket) const override;
    const char* Scheme() const override { return "http"; }
};

} // namespace kwotarv
