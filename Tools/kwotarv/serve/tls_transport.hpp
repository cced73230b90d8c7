// HTTPS for serve: the transports of the system's own TLS, one session per connection. Defined
// by tls_transport.cpp (OpenSSL) on Linux and by schannel_transport.cpp (SChannel) on Windows.
#pragma once

#include <memory>

#include "serve/transport.hpp"
#include "serve/web_config.hpp"

namespace kwotarv {

// Loads the certificate, key and client authorities of `settings`; WebConfigError naming the
// file or setting that cannot be used.
std::shared_ptr<const TransportFactory> MakeTlsTransports(const TlsSettings& settings);

} // namespace kwotarv
