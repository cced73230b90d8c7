// HTTPS for serve on Windows: each connection an SChannel server session over the server's
// non-blocking socket, with the credentials of the web configuration's tls_server_config.
#pragma once

#include <memory>

#include "serve/schannel_credentials.hpp"
#include "serve/transport.hpp"

namespace kwotarv {

class SchannelTransports : public TransportFactory {
  public:
    // WebConfigError as SchannelCredentials.
    explicit SchannelTransports(const TlsSettings& settings);
    std::unique_ptr<Transport> Open(intptr_t socket) const override;
    const char* Scheme() const override { return "https"; }

  private:
    std::shared_ptr<const SchannelCredentials> credentials_; // shared with every session
};

} // namespace kwotarv
