// serve's web configuration file (--web.config.file), in the YAML format the Prometheus
// project's exporters read: TLS for the server (tls_server_config) and users allowed in with
// basic auth (basic_auth_users, bcrypt hashes). An unknown key is an error, as there.
#pragma once

#include <map>
#include <optional>
#include <stdexcept>
#include <string>

namespace kwotarv {

enum class TlsVersion { Tls10, Tls11, Tls12, Tls13 };

// client_auth_type: what the server asks of a client's certificate.
enum class ClientAuth {
    None,             // NoClientCert
    Request,          // RequestClientCert: asked for, not checked
    RequireAny,       // RequireAnyClientCert: required, not checked
    VerifyIfGiven,    // VerifyClientCertIfGiven: checked against client_ca_file when given
    RequireAndVerify, // RequireAndVerifyClientCert
};

struct TlsSettings {
    std::string certFile; // PEM, the server's certificate (and its chain)
    std::string keyFile;  // PEM, its private key
    TlsVersion minVersion = TlsVersion::Tls12;
    TlsVersion maxVersion = TlsVersion::Tls13;
    ClientAuth clientAuth = ClientAuth::None;
    std::string clientCaFile; // PEM, the authorities client certificates are checked against
};

struct WebConfig {
    std::optional<TlsSettings> tls;                    // absent: plain HTTP
    std::map<std::string, std::string> basicAuthUsers; // user -> bcrypt hash; empty: no auth
};

class WebConfigError : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The configuration in `text`; file names relative to `directory` (the file's own) are made
// absolute against it. Throws WebConfigError naming the key at fault.
WebConfig ParseWebConfig(const std::string& text, const std::string& directory = ".");
// The file at `path`; WebConfigError when it cannot be read or is not valid.
WebConfig LoadWebConfig(const std::string& path);

} // namespace kwotarv
