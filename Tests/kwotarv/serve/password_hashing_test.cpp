// bcrypt as basic auth uses it: hashes of each kind ($2a$, $2b$, $2y$) that the host's crypt
// made are made again from their passwords and not from others; new settings are bcrypt's.
#include <gtest/gtest.h>

#include "serve/password_hashing.hpp"

namespace {

using kwotarv::BcryptHash;

TEST(PasswordHashing, MakesTheKnownHashesAgain)
{
    const struct {
        std::string password, hash;
    } cases[] = {
        {"alice-secret", "$2b$05$dWU2d/GpHuDzlnDBqFiu/Obpa2.RmqKhdjHQIUcWZ41Wn2qnb2QYS"},
        {"bob-secret", "$2y$05$abcdefghijklmnopqrstuu9uPBM7sp4Ru93YxEK4H7hIKAYkzoiF2"},
        {"carol-s\xc3\xa9"
         "cret",
         "$2a$05$QQctvXzd0yWyLc7WOqArWe.sRe/ozVWqcKm2SyANnNLsLTsb7Wyk."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(BcryptHash(c.password, c.hash), c.hash) << c.hash;
        EXPECT_NE(BcryptHash("#" + c.password.substr(1), c.hash), c.hash) << c.hash;
    }
    EXPECT_EQ(BcryptHash("alice-secret", "$2b$05$dWU2d/GpHuDzlnDBqFiu/"), ""); // salt too short

    const std::string setting = kwotarv::BcryptSetting(5);
    ASSERT_EQ(setting.size(), 29u) << setting;
    EXPECT_EQ(setting.substr(0, 7), "$2b$05$");
    EXPECT_NE(setting, kwotarv::BcryptSetting(5)) << "the salt is not random";
    EXPECT_EQ(BcryptHash("x", setting).substr(0, 29), setting);
}

} // namespace
