// The server's SChannel credentials, from the PEM files of the web configuration: the
// certificate (the first of cert_file; the rest, its chain, kept beside it) and the RSA key of
// key_file, imported into a key container of this process's own that lives exactly as long as
// the credentials. Windows only.
#pragma once

#include <windows.h>
#include <wincrypt.h>
#define SECURITY_WIN32
#include <security.h>

#include <string>

#include "serve/web_config.hpp"

namespace kwotarv {

class SchannelCredentials {
  public:
    // WebConfigError naming the file or setting that cannot be used, or saying that this
    // system's SChannel cannot serve TLS at all.
    explicit SchannelCredentials(const TlsSettings& settings);
    ~SchannelCredentials();
    SchannelCredentials(const SchannelCredentials&) = delete;
    SchannelCredentials& operator=(const SchannelCredentials&) = delete;

    // For AcceptSecurityContext, which takes it non-const.
    CredHandle* Handle() const { return &handle_; }

  private:
    void LoadCertificates(const TlsSettings& settings);
    void LoadKey(const TlsSettings& settings);
    void Acquire(const TlsSettings& settings);
    void CheckServerSide() const;
    void Release();

    HCERTSTORE store_ = nullptr;           // the certificate and its chain
    PCCERT_CONTEXT certificate_ = nullptr; // the server's, in store_
    std::wstring container_;               // the key container made for the key
    HCRYPTPROV provider_ = 0;              // open on container_
    mutable CredHandle handle_{};
    bool acquired_ = false;
};

} // namespace kwotarv
