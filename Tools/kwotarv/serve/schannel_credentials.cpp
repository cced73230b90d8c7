// SChannel server credentials. The key is imported through CryptoAPI into a named container
// of its own: SChannel does its private-key operations in the system's security service,
// which opens the key by the container named in the certificate's CERT_KEY_PROV_INFO, so an
// unnamed (verify-context) key would not do. The container is deleted with the credentials.
#include "serve/schannel_credentials.hpp"

#define SCHANNEL_USE_BLACKLISTS // SCH_CREDENTIALS, for TLS 1.3
#include <subauth.h>
#include <schannel.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "serve/pem_file.hpp"
#include "windows/system_message.hpp"

namespace kwotarv {

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

// CryptoAPI fails with Win32 codes and with HRESULTs (CRYPT_E_..., NTE_...); the latter read
// best in hex.
std::string ErrorText(DWORD code)
{
    return code & 0x80000000 ? SecurityStatusText(static_cast<long>(code)) : SystemErrorText(code);
}

[[noreturn]] void Fail(const char* setting, const std::string& file, const std::string& what)
{
    throw WebConfigError(std::string("tls_server_config.") + setting + ": " + file + ": " + what);
}

std::vector<PemBlock> ReadPem(const char* setting, const std::string& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in)
        Fail(setting, file, std::strerror(errno));
    return PemBlocks(std::string(std::istreambuf_iterator<char>(in), {}));
}

constexpr char kNoEcKeys[] = "EC keys are not available in the Windows build; give an RSA key";

// The PKCS#1 RSAPrivateKey of key_file: its first key block, PKCS#8 or PKCS#1.
std::vector<uint8_t> RsaKey(const std::string& file)
{
    for (const PemBlock& block : ReadPem("key_file", file)) {
        if (block.label == "RSA PRIVATE KEY")
            return block.der;
        if (block.label == "EC PRIVATE KEY")
            Fail("key_file", file, kNoEcKeys);
        if (block.label == "ENCRYPTED PRIVATE KEY")
            Fail("key_file", file, "the key is encrypted; give it unencrypted");
        if (block.label != "PRIVATE KEY")
            continue;
        const auto info = ParsePrivateKeyInfo(block.der);
        if (!info)
            Fail("key_file", file, "not a PKCS#8 private key");
        if (info->algorithm == KeyAlgorithm::Ec)
            Fail("key_file", file, kNoEcKeys);
        if (info->algorithm != KeyAlgorithm::Rsa)
            Fail("key_file", file, "not an RSA key");
        return info->key;
    }
    Fail("key_file", file, "no PEM private key");
}

// Whether the key in `provider` is the private half of the certificate's public key.
bool IsKeyOf(HCRYPTPROV provider, PCCERT_CONTEXT certificate)
{
    DWORD size = 0;
    CryptExportPublicKeyInfo(provider, AT_KEYEXCHANGE, X509_ASN_ENCODING, nullptr, &size);
    std::vector<BYTE> info(size);
    auto* publicKey = reinterpret_cast<CERT_PUBLIC_KEY_INFO*>(info.data());
    return size != 0 &&
           CryptExportPublicKeyInfo(provider, AT_KEYEXCHANGE, X509_ASN_ENCODING, publicKey,
                                    &size) &&
           CertComparePublicKeyInfo(X509_ASN_ENCODING,
                                    &certificate->pCertInfo->SubjectPublicKeyInfo, publicKey);
}

// SChannel's server protocol bits from the lowest to the highest version allowed.
DWORD ServerProtocols(TlsVersion min, TlsVersion max)
{
    constexpr DWORD kBits[] = {SP_PROT_TLS1_0_SERVER, SP_PROT_TLS1_1_SERVER, SP_PROT_TLS1_2_SERVER,
                               SP_PROT_TLS1_3_SERVER};
    DWORD bits = 0;
    for (int v = static_cast<int>(min); v <= static_cast<int>(max); ++v)
        bits |= kBits[v];
    return bits;
}

} // namespace

SchannelCredentials::SchannelCredentials(const TlsSettings& settings)
{
    if (settings.clientAuth != ClientAuth::None)
        throw WebConfigError("tls_server_config.client_auth_type: client certificates are not "
                             "available in the Windows build; give NoClientCert");
    try {
        LoadCertificates(settings);
        LoadKey(settings);
        Acquire(settings);
        CheckServerSide();
    } catch (...) {
        Release();
        throw;
    }
}

SchannelCredentials::~SchannelCredentials()
{
    Release();
}

void SchannelCredentials::LoadCertificates(const TlsSettings& settings)
{
    const std::string& file = settings.certFile;
    store_ = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    if (store_ == nullptr)
        Fail("cert_file", file, ErrorText(GetLastError()));
    for (const PemBlock& block : ReadPem("cert_file", file)) {
        if (block.label != "CERTIFICATE")
            continue;
        if (!CertAddEncodedCertificateToStore(
                store_, X509_ASN_ENCODING, block.der.data(), static_cast<DWORD>(block.der.size()),
                CERT_STORE_ADD_ALWAYS, certificate_ ? nullptr : &certificate_))
            Fail("cert_file", file, "not an X.509 certificate: " + ErrorText(GetLastError()));
    }
    if (certificate_ == nullptr)
        Fail("cert_file", file, "no PEM certificate");
}

// Imports the RSA key into a new container and names it in the certificate's properties.
// Exportable: some SChannel implementations read the key back out of the container, and it
// came from a plain file anyway.
void SchannelCredentials::LoadKey(const TlsSettings& settings)
{
    const std::string& file = settings.keyFile;
    std::vector<uint8_t> rsa = RsaKey(file);
    BYTE* blob = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(kEncoding, PKCS_RSA_PRIVATE_KEY, rsa.data(),
                             static_cast<DWORD>(rsa.size()), CRYPT_DECODE_ALLOC_FLAG, nullptr,
                             &blob, &size))
        Fail("key_file", file, "not an RSA private key: " + ErrorText(GetLastError()));
    reinterpret_cast<BLOBHEADER*>(blob)->aiKeyAlg = CALG_RSA_KEYX;

    static std::atomic<unsigned> serial{0};
    container_ = L"kwotarv-serve-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                 std::to_wstring(serial++);
    HCRYPTPROV stale = 0; // left by an earlier process of the same id that was killed
    CryptAcquireContextW(&stale, container_.c_str(), MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES,
                         CRYPT_DELETEKEYSET);
    HCRYPTKEY key = 0;
    const bool imported =
        CryptAcquireContextW(&provider_, container_.c_str(), MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES,
                             CRYPT_NEWKEYSET) &&
        CryptImportKey(provider_, blob, size, 0, CRYPT_EXPORTABLE, &key);
    const DWORD error = GetLastError();
    LocalFree(blob);
    if (!imported) {
        if (provider_ == 0)
            container_.clear();
        Fail("key_file", file, "the key cannot be imported: " + ErrorText(error));
    }
    CryptDestroyKey(key);

    // The key must be the certificate's, or every handshake would fail.
    if (!IsKeyOf(provider_, certificate_))
        Fail("key_file", file, "not the private key of the certificate in " + settings.certFile);

    CRYPT_KEY_PROV_INFO provInfo{};
    provInfo.pwszContainerName = container_.data();
    provInfo.pwszProvName = const_cast<wchar_t*>(MS_ENH_RSA_AES_PROV_W);
    provInfo.dwProvType = PROV_RSA_AES;
    provInfo.dwKeySpec = AT_KEYEXCHANGE;
    if (!CertSetCertificateContextProperty(certificate_, CERT_KEY_PROV_INFO_PROP_ID, 0, &provInfo))
        Fail("key_file", file,
             "the key cannot be joined to the certificate: " + ErrorText(GetLastError()));
}

// The credentials with the protocols of min_version..max_version. TLS 1.3 needs the newer
// SCH_CREDENTIALS; a system that does not take them gets SCHANNEL_CRED without TLS 1.3.
void SchannelCredentials::Acquire(const TlsSettings& settings)
{
    const DWORD protocols = ServerProtocols(settings.minVersion, settings.maxVersion);
    SECURITY_STATUS status = SEC_E_UNSUPPORTED_FUNCTION;
    if (protocols & SP_PROT_TLS1_3_SERVER) {
        TLS_PARAMETERS parameters{};
        parameters.grbitDisabledProtocols = ~protocols;
        SCH_CREDENTIALS credentials{};
        credentials.dwVersion = SCH_CREDENTIALS_VERSION;
        credentials.cCreds = 1;
        credentials.paCred = &certificate_;
        credentials.cTlsParameters = 1;
        credentials.pTlsParameters = &parameters;
        status = AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W),
                                           SECPKG_CRED_INBOUND, nullptr, &credentials, nullptr,
                                           nullptr, &handle_, nullptr);
    }
    const DWORD older = protocols & ~SP_PROT_TLS1_3_SERVER;
    if (status != SEC_E_OK && older == 0)
        throw WebConfigError("tls_server_config.min_version: TLS 1.3 is not available on this "
                             "system: " +
                             SecurityStatusText(status));
    if (status != SEC_E_OK) {
        SCHANNEL_CRED credentials{};
        credentials.dwVersion = SCHANNEL_CRED_VERSION;
        credentials.cCreds = 1;
        credentials.paCred = &certificate_;
        credentials.grbitEnabledProtocols = older;
        status = AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W),
                                           SECPKG_CRED_INBOUND, nullptr, &credentials, nullptr,
                                           nullptr, &handle_, nullptr);
    }
    if (status != SEC_E_OK)
        Fail("cert_file", settings.certFile,
             "SChannel cannot serve with this certificate and key: " + SecurityStatusText(status));
    acquired_ = true;
}

// A first AcceptSecurityContext with no bytes yet: one that has no server side at all says so
// at once, rather than every connection failing later without a word.
void SchannelCredentials::CheckServerSide() const
{
    char none = 0;
    SecBuffer in{0, SECBUFFER_TOKEN, &none};
    SecBufferDesc input{SECBUFFER_VERSION, 1, &in};
    SecBuffer out{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc output{SECBUFFER_VERSION, 1, &out};
    CtxtHandle context{};
    ULONG attributes = 0;
    const SECURITY_STATUS status =
        AcceptSecurityContext(&handle_, nullptr, &input, ASC_REQ_STREAM | ASC_REQ_ALLOCATE_MEMORY,
                              0, &context, &output, &attributes, nullptr);
    if (out.pvBuffer != nullptr)
        FreeContextBuffer(out.pvBuffer);
    if (status == SEC_E_OK || status == SEC_I_CONTINUE_NEEDED)
        DeleteSecurityContext(&context);
    if (status == SEC_E_UNSUPPORTED_FUNCTION)
        throw WebConfigError("TLS cannot start: this system's SChannel cannot act as a TLS "
                             "server (AcceptSecurityContext: SEC_E_UNSUPPORTED_FUNCTION)");
}

void SchannelCredentials::Release()
{
    if (acquired_)
        FreeCredentialsHandle(&handle_);
    acquired_ = false;
    if (certificate_ != nullptr)
        CertFreeCertificateContext(certificate_);
    certificate_ = nullptr;
    if (store_ != nullptr)
        CertCloseStore(store_, 0);
    store_ = nullptr;
    if (provider_ != 0)
        CryptReleaseContext(provider_, 0);
    provider_ = 0;
    if (!container_.empty()) {
        HCRYPTPROV deleted = 0;
        CryptAcquireContextW(&deleted, container_.c_str(), MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES,
                             CRYPT_DELETEKEYSET);
    }
    container_.clear();
}

} // namespace kwotarv
