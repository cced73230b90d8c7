// Basic auth for serve: the users of the web configuration file and their bcrypt hashes, checked
// with the system's bcrypt (password_hashing.hpp). A check is slow on purpose (bcrypt), so it runs
// on the server's workers, and a successful one is remembered under a digest of the user, hash and
// password (never the password itself) so that a scraper does not pay for it every time.
#pragma once

#include <map>
#include <mutex>
#include <set>
#include <string>

namespace kwotarv {

class BasicAuth {
  public:
    // `users`: user -> bcrypt hash; none means every request is allowed.
    explicit BasicAuth(std::map<std::string, std::string> users);

    // True when there are no users, or `authorization` is "Basic base64(user:password)" with a
    // user's password. An unknown user costs a bcrypt check too, so timing does not tell which
    // users exist.
    bool Allows(const std::string& authorization);

  private:
    bool Verify(const std::string& user, const std::string& hash, const std::string& password);

    std::map<std::string, std::string> users_;
    std::string unknownUserHash_; // a hash no password given matches, of the users' cost
    std::mutex mutex_;
    std::set<std::string> verified_; // digests of successful checks
};

} // namespace kwotarv
