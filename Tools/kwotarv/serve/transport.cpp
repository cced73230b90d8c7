// Plain connections: the socket calls behind the transport seam, on BSD sockets and Winsock.
#include "serve/transport.hpp"

#include <cerrno>

#if defined(_WIN32)
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

namespace kwotarv {

namespace {

#if defined(_WIN32)
using NativeSocket = SOCKET;
constexpr int kSendFlags = 0;
constexpr int kShutdownSend = SD_SEND;
bool WouldBlock()
{
    const int error = WSAGetLastError();
    return error == WSAEWOULDBLOCK || error == WSAEINTR;
}
#else
using NativeSocket = int;
constexpr int kSendFlags = MSG_NOSIGNAL;
constexpr int kShutdownSend = SHUT_WR;
bool WouldBlock()
{
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}
#endif

// The result of a recv or send that returned `n`.
IoResult Moved(long long n, IoResult::Status wouldBlock)
{
    if (n > 0)
        return {IoResult::Status::Done, static_cast<size_t>(n)};
    if (n < 0 && WouldBlock())
        return {wouldBlock, 0};
    return {IoResult::Status::Closed, 0};
}

class PlainTransport : public Transport {
  public:
    explicit PlainTransport(intptr_t socket) : Transport(socket) {}
    IoResult Handshake() override { return {}; }
    IoResult Read(char* buffer, size_t size) override { return SocketRead(socket_, buffer, size); }
    IoResult Write(const char* data, size_t size) override
    {
        return SocketWrite(socket_, data, size);
    }
    void CloseSending() override { SocketCloseSending(socket_); }
};

} // namespace

IoResult SocketRead(intptr_t socket, char* buffer, size_t size)
{
    const auto n = recv(static_cast<NativeSocket>(socket), buffer, static_cast<int>(size), 0);
    return Moved(n, IoResult::Status::WantRead);
}

IoResult SocketWrite(intptr_t socket, const char* data, size_t size)
{
    if (size == 0)
        return {};
    const auto n =
        send(static_cast<NativeSocket>(socket), data, static_cast<int>(size), kSendFlags);
    return Moved(n, IoResult::Status::WantWrite);
}

void SocketCloseSending(intptr_t socket)
{
    shutdown(static_cast<NativeSocket>(socket), kShutdownSend);
}

IoResult Transport::Discard(char* buffer, size_t size)
{
    return SocketRead(socket_, buffer, size);
}

std::unique_ptr<Transport> PlainTransports::Open(intptr_t socket) const
{
    return std::make_unique<PlainTransport>(socket);
}

} // namespace kwotarv
