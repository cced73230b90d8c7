// bcrypt with libxcrypt's own bcrypt (crypt-bcrypt.c, built in by cmake/ports/bcrypt.cmake) and
// salts from the system's random generator; SHA-256 with the system's CNG.
#include <windows.h>

#include <bcrypt.h>

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

bool Succeeded(NTSTATUS status)
{
    return status >= 0;
}

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
    if (!Succeeded(BCryptGenRandom(nullptr, salt, sizeof salt, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
        return {};
    unsigned char setting[kOutputSize] = {};
    gensalt_bcrypt_rn(cost, salt, sizeof salt, setting, sizeof setting);
    return std::string(reinterpret_cast<const char*>(setting));
}

std::string Sha256(const std::string& text)
{
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    unsigned char digest[32];
    bool done =
        Succeeded(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) &&
        Succeeded(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0)) &&
        Succeeded(BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(text.data())),
                                 static_cast<ULONG>(text.size()), 0)) &&
        Succeeded(BCryptFinishHash(hash, digest, sizeof digest, 0));
    if (hash != nullptr)
        BCryptDestroyHash(hash);
    if (algorithm != nullptr)
        BCryptCloseAlgorithmProvider(algorithm, 0);
    // A digest that could not be made must not stand for any text.
    if (!done)
        throw std::runtime_error("SHA-256 is not available from the system");
    return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

} // namespace kwotarv
