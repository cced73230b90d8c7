// Basic auth with crypt_r (libcrypt's bcrypt) for the hashes and OpenSSL for the base64 of the
// header, the digests of the remembered checks and the constant-time comparison.
#include "serve/basic_auth.hpp"

#include <crypt.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <string_view>
#include <utility>

namespace kwotarv {

namespace {

constexpr size_t kRemembered = 256; // successful checks kept; forgotten all at once when full

// "Basic dXNlcjpwYXNz" as user and password; false when it is not that.
bool DecodeBasic(const std::string& authorization, std::string& user, std::string& password)
{
    constexpr std::string_view kScheme = "basic ";
    if (authorization.size() <= kScheme.size() ||
        !std::equal(kScheme.begin(), kScheme.end(), authorization.begin(), [](char a, char b) {
            return a == std::tolower(static_cast<unsigned char>(b));
        }))
        return false;
    const std::string encoded = authorization.substr(kScheme.size());
    if (encoded.size() % 4 != 0)
        return false;
    std::string decoded(encoded.size() / 4 * 3, '\0');
    const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(decoded.data()),
                                       reinterpret_cast<const unsigned char*>(encoded.data()),
                                       static_cast<int>(encoded.size()));
    if (length < 0)
        return false;
    const size_t padding = encoded.size() - encoded.find_last_not_of('=') - 1;
    decoded.resize(static_cast<size_t>(length) - std::min<size_t>(padding, 2));
    const size_t colon = decoded.find(':');
    if (colon == std::string::npos)
        return false;
    user = decoded.substr(0, colon);
    password = decoded.substr(colon + 1);
    return true;
}

// crypt_r's hash of `password` with the salt and cost of `setting`; empty on failure.
std::string Crypt(const std::string& password, const char* setting)
{
    auto data = std::make_unique<crypt_data>(); // zeroed, as crypt_r wants it the first time
    const char* hash = crypt_r(password.c_str(), setting, data.get());
    return hash == nullptr || hash[0] == '*' ? std::string() : std::string(hash);
}

bool SameText(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::string Digest(const std::string& text)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr);
    return std::string(reinterpret_cast<const char*>(digest), length);
}

// A bcrypt hash of a random password with the cost of `like` ("$2b$05$..."), or of cost 10.
std::string UnknownUserHash(const std::string& like)
{
    const unsigned long cost = like.size() > 6 ? std::stoul(like.substr(4, 2)) : 10;
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    if (crypt_gensalt_rn("$2b$", cost, nullptr, 0, setting, sizeof setting) == nullptr)
        return {};
    return Crypt(Digest(setting), setting);
}

} // namespace

BasicAuth::BasicAuth(std::map<std::string, std::string> users) : users_(std::move(users))
{
    if (!users_.empty())
        unknownUserHash_ = UnknownUserHash(users_.begin()->second);
}

bool BasicAuth::Allows(const std::string& authorization)
{
    if (users_.empty())
        return true;
    std::string user, password;
    if (!DecodeBasic(authorization, user, password))
        return false;
    const auto found = users_.find(user);
    if (found == users_.end()) {
        Verify(user, unknownUserHash_, password);
        return false;
    }
    return Verify(user, found->second, password);
}

bool BasicAuth::Verify(const std::string& user, const std::string& hash,
                       const std::string& password)
{
    const std::string key = Digest(std::to_string(user.size()) + ":" + user + hash + password);
    {
        std::lock_guard lock(mutex_);
        if (verified_.count(key) != 0)
            return true;
    }
    const std::string computed = Crypt(password, hash.c_str());
    if (computed.empty() || !SameText(computed, hash))
        return false;
    std::lock_guard lock(mutex_);
    if (verified_.size() >= kRemembered)
        verified_.clear();
    verified_.insert(key);
    return true;
}

} // namespace kwotarv
