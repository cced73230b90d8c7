// HTTPS for serve: each connection a TLS session of the system's OpenSSL, non-blocking, over
// the server's socket.
#pragma once

#include <memory>

#include "serve/transport.hpp"
#include "serve/web_config.hpp"

struct ssl_ctx_st;

namespace kwotarv {

class TlsTransports : public TransportFactory {
  public:
    // Loads the certificate, key and client authorities; WebConfigError naming the file or
    // setting that cannot be used.
    explicit TlsTransports(const TlsSettings& settings);
    std::unique_ptr<Transport> Open(intptr_t socket) const override;
    const char* Scheme() const override { return "https"; }

  private:
    std::shared_ptr<ssl_ctx_st> context_;
};

} // namespace kwotarv
