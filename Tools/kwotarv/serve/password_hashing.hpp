// The hashing basic auth needs, from the system's libraries: bcrypt (crypt(3)'s format) and
// SHA-256. Linux: libcrypt and OpenSSL (linux_password_hashing.cpp); Windows: libxcrypt's bcrypt
// built into the program, the system's random generator and CryptoAPI
// (windows_password_hashing.cpp).
#pragma once

#include <string>

namespace kwotarv {

// The bcrypt hash of `password` with the salt and cost of `setting` (a bcrypt hash or setting:
// "$2b$05$" and 22 salt characters), as crypt_r gives it; empty when it cannot be made (a
// setting bcrypt does not take, a password of 512 bytes or more).
std::string BcryptHash(const std::string& password, const std::string& setting);

// A "$2b$" setting of `cost` with a salt from the system's random generator; empty on failure.
std::string BcryptSetting(unsigned long cost);

// The SHA-256 digest of `text` (32 bytes).
std::string Sha256(const std::string& text);

} // namespace kwotarv
