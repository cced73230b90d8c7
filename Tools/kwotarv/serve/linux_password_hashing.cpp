// bcrypt with libcrypt's crypt_r and crypt_gensalt_rn (which takes the salt from the system),
// SHA-256 with OpenSSL.
#include <crypt.h>
#include <openssl/evp.h>

#include <memory>

#include "serve/password_hashing.hpp"

namespace kwotarv {

std::string BcryptHash(const std::string& password, const std::string& setting)
{
    auto data = std::make_unique<crypt_data>(); // zeroed, as crypt_r wants it the first time
    const char* hash = crypt_r(password.c_str(), setting.c_str(), data.get());
    return hash == nullptr || hash[0] == '*' ? std::string() : std::string(hash);
}

std::string BcryptSetting(unsigned long cost)
{
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    if (crypt_gensalt_rn("$2b$", cost, nullptr, 0, setting, sizeof setting) == nullptr)
        return {};
    return setting;
}

std::string Sha256(const std::string& text)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr);
    return std::string(reinterpret_cast<const char*>(digest), length);
}

} // namespace kwotarv
