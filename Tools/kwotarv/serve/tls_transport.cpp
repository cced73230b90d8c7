// TLS sessions with OpenSSL. The session reads and writes the socket through a small BIO of
// our own, so that a send to a peer that has gone raises no SIGPIPE (the socket calls of
// transport.cpp); every OpenSSL call is non-blocking and its "want read/write" becomes the
// server's poll direction.
#include "serve/tls_transport.hpp"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cstring>
#include <string>

namespace kwotarv {

namespace {

// The reason of the oldest queued OpenSSL error ("No such file or directory", "key values
// mismatch").
std::string OpenSslError()
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (ERR_SYSTEM_ERROR(code))
        return std::strerror(ERR_GET_REASON(code));
    const char* reason = ERR_reason_error_string(code);
    return reason ? reason : "error " + std::to_string(code);
}

intptr_t BioSocket(BIO* bio)
{
    return reinterpret_cast<intptr_t>(BIO_get_data(bio));
}

int BioRead(BIO* bio, char* buffer, int size)
{
    BIO_clear_retry_flags(bio);
    const IoResult result = SocketRead(BioSocket(bio), buffer, static_cast<size_t>(size));
    if (result.status == IoResult::Status::WantRead)
        BIO_set_retry_read(bio);
    return result.status == IoResult::Status::Done     ? static_cast<int>(result.bytes)
           : result.status == IoResult::Status::Closed ? 0
                                                       : -1;
}

int BioWrite(BIO* bio, const char* data, int size)
{
    BIO_clear_retry_flags(bio);
    const IoResult result = SocketWrite(BioSocket(bio), data, static_cast<size_t>(size));
    if (result.status == IoResult::Status::WantWrite)
        BIO_set_retry_write(bio);
    return result.status == IoResult::Status::Done ? static_cast<int>(result.bytes) : -1;
}

long BioControl(BIO*, int command, long, void*)
{
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int BioCreate(BIO* bio)
{
    BIO_set_init(bio, 1);
    return 1;
}

const BIO_METHOD* SocketBioMethod()
{
    static BIO_METHOD* const method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "kwotarv socket");
        BIO_meth_set_read(m, BioRead);
        BIO_meth_set_write(m, BioWrite);
        BIO_meth_set_ctrl(m, BioControl);
        BIO_meth_set_create(m, BioCreate);
        return m;
    }();
    return method;
}

// An SSL call's result as the server's poll loop needs it.
IoResult Outcome(SSL* ssl, int returned)
{
    if (returned > 0)
        return {IoResult::Status::Done, static_cast<size_t>(returned)};
    const int error = SSL_get_error(ssl, returned);
    ERR_clear_error();
    if (error == SSL_ERROR_WANT_READ)
        return {IoResult::Status::WantRead, 0};
    if (error == SSL_ERROR_WANT_WRITE)
        return {IoResult::Status::WantWrite, 0};
    return {IoResult::Status::Closed, 0};
}

class TlsTransport : public Transport {
  public:
    TlsTransport(intptr_t socket, SSL* ssl) : Transport(socket), ssl_(ssl, SSL_free) {}
    IoResult Handshake() override
    {
        if (!ssl_)
            return {IoResult::Status::Closed, 0};
        const int returned = SSL_accept(ssl_.get());
        return returned == 1 ? IoResult{} : Outcome(ssl_.get(), returned);
    }
    IoResult Read(char* buffer, size_t size) override
    {
        return Outcome(ssl_.get(), SSL_read(ssl_.get(), buffer, static_cast<int>(size)));
    }
    IoResult Write(const char* data, size_t size) override
    {
        return Outcome(ssl_.get(), SSL_write(ssl_.get(), data, static_cast<int>(size)));
    }
    bool Pending() const override { return SSL_pending(ssl_.get()) > 0; }
    void CloseSending() override
    {
        SSL_shutdown(ssl_.get()); // close_notify, if the socket takes it now
        ERR_clear_error();
        SocketCloseSending(socket_);
    }

  private:
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl_;
};

int ProtocolVersion(TlsVersion version)
{
    switch (version) {
    case TlsVersion::Tls10:
        return TLS1_VERSION;
    case TlsVersion::Tls11:
        return TLS1_1_VERSION;
    case TlsVersion::Tls12:
        return TLS1_2_VERSION;
    case TlsVersion::Tls13:
        break;
    }
    return TLS1_3_VERSION;
}

// Asking for a certificate without checking it: every chain is accepted.
int AcceptAnyCertificate(int, X509_STORE_CTX*)
{
    return 1;
}

void SetClientAuth(SSL_CTX* context, const TlsSettings& settings)
{
    if (!settings.clientCaFile.empty()) {
        STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(settings.clientCaFile.c_str());
        if (names == nullptr ||
            SSL_CTX_load_verify_locations(context, settings.clientCaFile.c_str(), nullptr) != 1) {
            sk_X509_NAME_pop_free(names, X509_NAME_free);
            throw WebConfigError("tls_server_config.client_ca_file: " + settings.clientCaFile +
                                 ": no certificate authorities (" + OpenSslError() + ")");
        }
        SSL_CTX_set_client_CA_list(context, names);
    }
    const ClientAuth auth = settings.clientAuth;
    const bool asks = auth != ClientAuth::None;
    const bool demands = auth == ClientAuth::RequireAny || auth == ClientAuth::RequireAndVerify;
    const bool checks = auth == ClientAuth::VerifyIfGiven || auth == ClientAuth::RequireAndVerify;
    const int mode = !asks     ? SSL_VERIFY_NONE
                     : demands ? SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT
                               : SSL_VERIFY_PEER;
    SSL_CTX_set_verify(context, mode, asks && !checks ? AcceptAnyCertificate : nullptr);
}

class TlsTransports : public TransportFactory {
  public:
    explicit TlsTransports(const TlsSettings& settings);
    std::unique_ptr<Transport> Open(intptr_t socket) const override;
    const char* Scheme() const override { return "https"; }

  private:
    std::shared_ptr<ssl_ctx_st> context_;
};

TlsTransports::TlsTransports(const TlsSettings& settings)
{
    context_.reset(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
    SSL_CTX* context = context_.get();
    if (context == nullptr)
        throw WebConfigError("TLS cannot start: " + OpenSslError());
    SSL_CTX_set_min_proto_version(context, ProtocolVersion(settings.minVersion));
    SSL_CTX_set_max_proto_version(context, ProtocolVersion(settings.maxVersion));
    SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    static const unsigned char kSessionContext[] = "kwotarv serve";
    SSL_CTX_set_session_id_context(context, kSessionContext, sizeof kSessionContext - 1);
    if (SSL_CTX_use_certificate_chain_file(context, settings.certFile.c_str()) != 1)
        throw WebConfigError("tls_server_config.cert_file: " + settings.certFile + ": " +
                             OpenSslError());
    // Also refused when it is not the key of the certificate ("key values mismatch").
    if (SSL_CTX_use_PrivateKey_file(context, settings.keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
        throw WebConfigError("tls_server_config.key_file: " + settings.keyFile + ": " +
                             OpenSslError());
    SetClientAuth(context, settings);
}

std::unique_ptr<Transport> TlsTransports::Open(intptr_t socket) const
{
    SSL* ssl = SSL_new(context_.get());
    BIO* bio = ssl ? BIO_new(SocketBioMethod()) : nullptr;
    if (bio == nullptr) { // out of memory: the session fails at its handshake
        SSL_free(ssl);
        ERR_clear_error();
        return std::make_unique<TlsTransport>(socket, nullptr);
    }
    BIO_set_data(bio, reinterpret_cast<void*>(socket));
    SSL_set_bio(ssl, bio, bio);
    return std::make_unique<TlsTransport>(socket, ssl);
}

} // namespace

// The host build's TLS: OpenSSL.
std::shared_ptr<const TransportFactory> MakeTlsTransports(const TlsSettings& settings)
{
    return std::make_shared<TlsTransports>(settings);
}

} // namespace kwotarv
