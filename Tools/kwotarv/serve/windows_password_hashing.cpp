// bcrypt with libxcrypt's own bcrypt (crypt-bcrypt.c, built in by cmake/ports/bcrypt.cmake) and
// salts from the system's random generator (RtlGenRandom); SHA-256 from the system's CryptoAPI.
// Both are advapi32's, which the program links anyway.
#include <windows.h>

#include <ntsecapi.h>
#include <wincrypt.h>

#include <memory>
#include <stdexcept>

#include "serve/password_hashing.hpp"

extern "C" {
#include "crypt-hashes.h"
}

namespace kwotarv {

namespace {

constexpr size_t kMaxPassword = 512; // crypt_r refuses longer passwords (CRYPT_MAX_PASSPHRASE_SIZE)
constexpr size_t kOutputSize = 384;  // crypt_r's output buffer (CRYPT_OUTPUT_SIZE)
constexpr size_t kScratchSize = 8192; // the state each method is given (ALG_SPECIFIC_SIZE)
constexpr size_t kSaltBytes = 16;     // what bcrypt's salt holds

constexpr DWORD kSha256Size = 32;

} // namespace

std::string BcryptHash(const std::string& password, const std::string& setting)
{
    if (password.size() >= kMaxPassword)
        return {};
    auto scratch = std::make_unique<unsigned char[]>(kScratchSize);
    unsigned char output[kOutputSize] = {}; // left empty when the method fails
    crypt_bcrypt_rn(password.c_str(), password.size(), setting.c_str(), setting.size(), output,
                    sizeof output, scratch.get(), kScratchSize);
    SecureZeroMemory(scratch.get(), kScratchSize); // the key schedule came from the password
    return output[0] == '$' ? std::string(reinterpret_cast<const char*>(output)) : std::string();
}

std::string BcryptSetting(unsigned long cost)
{
    unsigned char salt[kSaltBytes];
    if (!RtlGenRandom(salt, sizeof salt))
        return {};
    unsigned char setting[kOutputSize] = {};
    gensalt_bcrypt_rn(cost, salt, sizeof salt, setting, sizeof setting);
    return std::string(reinterpret_cast<const char*>(setting));
}

std::string Sha256(const std::string& text)
{
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    BYTE digest[kSha256Size];
    DWORD size = sizeof digest;
    const bool done =
        CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) &&
        CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash) &&
        CryptHashData(hash, reinterpret_cast<const BYTE*>(text.data()),
                      static_cast<DWORD>(text.size()), 0) &&
        CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0) && size == sizeof digest;
    if (hash != 0)
        CryptDestroyHash(hash);
    if (provider != 0)
        CryptReleaseContext(provider, 0);
    // A digest that could not be made must not stand for any text.
    if (!done)
        throw std::runtime_error("SHA-256 is not available from the system");
    return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

} // namespace kwotarv
