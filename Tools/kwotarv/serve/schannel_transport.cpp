// SChannel sessions. Bytes from the socket gather in `received_` until SChannel can use them
// (SEC_E_INCOMPLETE_MESSAGE asks for more; SECBUFFER_EXTRA is what it left for the next call);
// handshake tokens and encrypted records wait in `outgoing_` until the socket has taken them
// all, before anything more is read or written. Records are decrypted in place.
#include "serve/schannel_transport.hpp"

#include <schannel.h>

#include <algorithm>
#include <string>

#include "serve/tls_transport.hpp"

namespace kwotarv {

namespace {

constexpr ULONG kRequest = ASC_REQ_STREAM | ASC_REQ_CONFIDENTIALITY | ASC_REQ_SEQUENCE_DETECT |
                           ASC_REQ_REPLAY_DETECT | ASC_REQ_EXTENDED_ERROR | ASC_REQ_ALLOCATE_MEMORY;
// More undecided bytes than any handshake flight or record of this server's needs: the peer
// is not speaking TLS.
constexpr size_t kMaxReceived = 256 * 1024;

using Status = IoResult::Status;

class SchannelTransport : public Transport {
  public:
    SchannelTransport(intptr_t socket, std::shared_ptr<const SchannelCredentials> credentials)
        : Transport(socket), credentials_(std::move(credentials))
    {
        SecInvalidateHandle(&context_);
    }
    ~SchannelTransport() override
    {
        if (hasContext_)
            DeleteSecurityContext(&context_);
    }
    IoResult Handshake() override;
    IoResult Read(char* buffer, size_t size) override;
    IoResult Write(const char* data, size_t size) override;
    // Decrypted bytes not read yet, or a whole record not decrypted yet: an incomplete record
    // waits for the socket, which the server's poll announces.
    bool Pending() const override
    {
        return taken_ < decrypted_.size() || (!received_.empty() && !needMore_);
    }
    void CloseSending() override;

  private:
    Status Receive();
    Status Flush();
    Status Accept();
    Status Decrypt();
    void TakeToken(SecBuffer& token);
    void KeepExtra(const SecBuffer* buffers, size_t count);

    std::shared_ptr<const SchannelCredentials> credentials_;
    CtxtHandle context_; // invalid until the first AcceptSecurityContext makes it
    bool hasContext_ = false;
    bool established_ = false;
    bool failed_ = false;   // the session is over: every call says Closed
    bool needMore_ = false; // received_ holds the start of a message only
    SecPkgContext_StreamSizes sizes_{};
    std::string received_;  // from the socket, not yet used by SChannel
    std::string decrypted_; // plaintext; taken_ bytes of it read
    size_t taken_ = 0;
    std::string outgoing_; // to the socket; sent_ bytes of it sent
    size_t sent_ = 0;
    size_t carried_ = 0; // plaintext bytes of the record in outgoing_
};

// Appends what the socket has.
Status SchannelTransport::Receive()
{
    if (received_.size() >= kMaxReceived)
        return Status::Closed;
    char buffer[16 * 1024];
    const IoResult result = SocketRead(socket_, buffer, sizeof buffer);
    if (result.status == Status::Done) {
        received_.append(buffer, result.bytes);
        needMore_ = false;
    }
    return result.status;
}

// Sends what waits in outgoing_; Done once all of it is out.
Status SchannelTransport::Flush()
{
    while (sent_ < outgoing_.size()) {
        const IoResult result =
            SocketWrite(socket_, outgoing_.data() + sent_, outgoing_.size() - sent_);
        if (result.status != Status::Done)
            return result.status;
        sent_ += result.bytes;
    }
    outgoing_.clear();
    sent_ = 0;
    return Status::Done;
}

void SchannelTransport::TakeToken(SecBuffer& token)
{
    if (token.pvBuffer == nullptr)
        return;
    outgoing_.append(static_cast<const char*>(token.pvBuffer), token.cbBuffer);
    FreeContextBuffer(token.pvBuffer);
    token.pvBuffer = nullptr;
}

// What SChannel did not use of received_ is its tail (SECBUFFER_EXTRA); the rest is done with.
void SchannelTransport::KeepExtra(const SecBuffer* buffers, size_t count)
{
    size_t extra = 0;
    for (size_t i = 0; i < count; ++i)
        if (buffers[i].BufferType == SECBUFFER_EXTRA)
            extra = std::min<size_t>(buffers[i].cbBuffer, received_.size());
    received_.erase(0, received_.size() - extra);
}

// One step of the handshake over received_: its answer (or, on failure, its alert) goes to
// outgoing_.
Status SchannelTransport::Accept()
{
    SecBuffer in[2] = {{static_cast<ULONG>(received_.size()), SECBUFFER_TOKEN, received_.data()},
                       {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc input{SECBUFFER_VERSION, 2, in};
    SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc output{SECBUFFER_VERSION, 1, out};
    ULONG attributes = 0;
    const SECURITY_STATUS status =
        AcceptSecurityContext(credentials_->Handle(), hasContext_ ? &context_ : nullptr, &input,
                              kRequest, 0, &context_, &output, &attributes, nullptr);
    TakeToken(out[0]);
    // A context exists once SChannel has written the handle, which it may do even for an
    // alert about a failed first message.
    hasContext_ = SecIsValidHandle(&context_);
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
        needMore_ = true;
        return Status::WantRead;
    }
    if (status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) {
        failed_ = true; // plain HTTP to this port among others; the alert goes if it can
        Flush();
        return Status::Closed;
    }
    KeepExtra(in, 2);
    if (status == SEC_E_OK) {
        if (QueryContextAttributesW(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_) != SEC_E_OK) {
            failed_ = true;
            return Status::Closed;
        }
        established_ = true;
    }
    return Status::Done;
}

IoResult SchannelTransport::Handshake()
{
    for (;;) {
        if (failed_)
            return {Status::Closed, 0};
        if (const Status flushed = Flush(); flushed != Status::Done)
            return {flushed, 0};
        if (established_)
            return {};
        if (received_.empty() || needMore_)
            if (const Status received = Receive(); received != Status::Done)
                return {received, 0};
        if (const Status step = Accept(); step == Status::Closed)
            return {step, 0};
    }
}

// Decrypts the record at the start of received_ into decrypted_.
Status SchannelTransport::Decrypt()
{
    SecBuffer buffers[4] = {
        {static_cast<ULONG>(received_.size()), SECBUFFER_DATA, received_.data()},
        {0, SECBUFFER_EMPTY, nullptr},
        {0, SECBUFFER_EMPTY, nullptr},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc message{SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS status = DecryptMessage(&context_, &message, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
        needMore_ = true;
        return Status::WantRead;
    }
    // SEC_I_CONTEXT_EXPIRED is the peer's close_notify; SEC_I_RENEGOTIATE a renegotiation or
    // post-handshake message, which this server does not take; the rest, broken records.
    if (status != SEC_E_OK) {
        failed_ = true;
        return Status::Closed;
    }
    decrypted_.clear();
    taken_ = 0;
    for (const SecBuffer& buffer : buffers)
        if (buffer.BufferType == SECBUFFER_DATA)
            decrypted_.assign(static_cast<const char*>(buffer.pvBuffer), buffer.cbBuffer);
    KeepExtra(buffers, 4);
    return Status::Done;
}

IoResult SchannelTransport::Read(char* buffer, size_t size)
{
    for (;;) {
        if (taken_ < decrypted_.size()) {
            const size_t n = std::min(size, decrypted_.size() - taken_);
            decrypted_.copy(buffer, n, taken_);
            taken_ += n;
            return {Status::Done, n};
        }
        if (failed_ || !established_)
            return {Status::Closed, 0};
        const Status status = !received_.empty() && !needMore_ ? Decrypt() : Status::WantRead;
        if (status == Status::Closed)
            return {status, 0};
        if (status == Status::WantRead)
            if (const Status received = Receive(); received != Status::Done)
                return {received, 0};
    }
}

// Encrypts at most one record's worth of `data`. Like SSL_write, a call that waited for the
// socket is repeated with the same bytes, and then reports them once their record is out.
IoResult SchannelTransport::Write(const char* data, size_t size)
{
    if (failed_ || !established_)
        return {Status::Closed, 0};
    if (size == 0)
        return {};
    if (outgoing_.empty()) {
        const size_t n = std::min<size_t>(size, sizes_.cbMaximumMessage);
        std::string record(sizes_.cbHeader + n + sizes_.cbTrailer, '\0');
        std::copy_n(data, n, record.begin() + sizes_.cbHeader);
        SecBuffer buffers[4] = {
            {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
            {static_cast<ULONG>(n), SECBUFFER_DATA, record.data() + sizes_.cbHeader},
            {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + sizes_.cbHeader + n},
            {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc message{SECBUFFER_VERSION, 4, buffers};
        if (EncryptMessage(&context_, 0, &message, 0) != SEC_E_OK) {
            failed_ = true;
            return {Status::Closed, 0};
        }
        // A part may come out shorter than its room (the trailer of an AEAD cipher): the record
        // is each part as SChannel left it.
        for (size_t i = 0; i < 3; ++i)
            outgoing_.append(static_cast<const char*>(buffers[i].pvBuffer), buffers[i].cbBuffer);
        carried_ = n;
    }
    if (const Status flushed = Flush(); flushed != Status::Done)
        return {flushed, 0};
    const size_t n = carried_;
    carried_ = 0;
    return {Status::Done, n};
}

// close_notify (when the socket takes it now), then the end of the sending side.
void SchannelTransport::CloseSending()
{
    if (established_ && !failed_ && Flush() == Status::Done) {
        DWORD type = SCHANNEL_SHUTDOWN;
        SecBuffer token{sizeof type, SECBUFFER_TOKEN, &type};
        SecBufferDesc control{SECBUFFER_VERSION, 1, &token};
        if (ApplyControlToken(&context_, &control) == SEC_E_OK) {
            SecBuffer out[1] = {{0, SECBUFFER_TOKEN, nullptr}};
            SecBufferDesc output{SECBUFFER_VERSION, 1, out};
            ULONG attributes = 0;
            AcceptSecurityContext(credentials_->Handle(), &context_, nullptr, kRequest, 0,
                                  &context_, &output, &attributes, nullptr);
            TakeToken(out[0]);
            Flush();
        }
    }
    SocketCloseSending(socket_);
}

} // namespace

SchannelTransports::SchannelTransports(const TlsSettings& settings)
    : credentials_(std::make_shared<const SchannelCredentials>(settings))
{
}

std::unique_ptr<Transport> SchannelTransports::Open(intptr_t socket) const
{
    return std::make_unique<SchannelTransport>(socket, credentials_);
}

std::shared_ptr<const TransportFactory> MakeTlsTransports(const TlsSettings& settings)
{
    return std::make_shared<SchannelTransports>(settings);
}

} // namespace kwotarv
