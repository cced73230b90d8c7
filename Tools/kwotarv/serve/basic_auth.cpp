// Basic auth: the header's credentials, bcrypt checks (password_hashing.hpp: the system's
// libraries on each platform) and the checks remembered under SHA-256 digests.
#include "serve/basic_auth.hpp"

#include <algorithm>
#include <cctype>
#include <string_view>
#include <utility>

#include "serve/base64.hpp"
#include "serve/password_hashing.hpp"

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
    std::string decoded;
    if (encoded.size() % 4 != 0 || !DecodeBase64Groups(encoded, decoded))
        return false;
    const size_t padding = encoded.size() - encoded.find_last_not_of('=') - 1;
    decoded.resize(decoded.size() - std::min<size_t>(padding, 2));
    const size_t colon = decoded.find(':');
    if (colon == std::string::npos)
        return false;
    user = decoded.substr(0, colon);
    password = decoded.substr(colon + 1);
    return true;
}

// Equal texts, compared in a time that does not depend on where they differ.
bool SameText(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    unsigned char difference = 0;
    for (size_t i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

// A bcrypt hash of a random password with the cost of `like` ("$2b$05$..."), or of cost 10.
std::string UnknownUserHash(const std::string& like)
{
    const unsigned long cost = like.size() > 6 ? std::stoul(like.substr(4, 2)) : 10;
    const std::string setting = BcryptSetting(cost);
    return setting.empty() ? std::string() : BcryptHash(Sha256(setting), setting);
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
    const std::string key = Sha256(std::to_string(user.size()) + ":" + user + hash + password);
    {
        std::lock_guard lock(mutex_);
        if (verified_.count(key) != 0)
            return true;
    }
    const std::string computed = BcryptHash(password, hash);
    if (computed.empty() || !SameText(computed, hash))
        return false;
    std::lock_guard lock(mutex_);
    if (verified_.size() >= kRemembered)
        verified_.clear();
    verified_.insert(key);
    return true;
}

} // namespace kwotarv
