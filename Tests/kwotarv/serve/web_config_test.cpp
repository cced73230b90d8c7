// serve's web configuration file: a full file as read, and each fault named by its key; basic
// auth's reading of the Authorization header.
#include <gtest/gtest.h>

#include "serve/basic_auth.hpp"
#include "serve/web_config.hpp"

namespace {

using kwotarv::ParseWebConfig;

// The bcrypt hash (cost 5) of "scrape-secret".
constexpr const char* kHash = "$2b$05$KdvbVD/bGwQpMXMf3EiAz.lZ1ZEL46M0e4reX67YGCxQeGAZBpVEi";

TEST(WebConfig, ReadsEveryKeyWithFilesRelativeToItsDirectory)
{
    const auto config = ParseWebConfig(std::string("tls_server_config:\n"
                                                   "  cert_file: tls/server.crt\n"
                                                   "  key_file: /keys/server.key\n"
                                                   "  min_version: TLS13\n"
                                                   "  client_auth_type: VerifyClientCertIfGiven\n"
                                                   "  client_ca_file: ca.crt\n"
                                                   "basic_auth_users:\n"
                                                   "  prometheus: ") +
                                           kHash + "\n",
                                       "/etc/kwotarv");
    ASSERT_TRUE(config.tls);
    EXPECT_EQ(config.tls->certFile, "/etc/kwotarv/tls/server.crt");
    EXPECT_EQ(config.tls->keyFile, "/keys/server.key");
    EXPECT_EQ(config.tls->minVersion, kwotarv::TlsVersion::Tls13);
    EXPECT_EQ(config.tls->maxVersion, kwotarv::TlsVersion::Tls13);
    EXPECT_EQ(config.tls->clientAuth, kwotarv::ClientAuth::VerifyIfGiven);
    EXPECT_EQ(config.tls->clientCaFile, "/etc/kwotarv/ca.crt");
    EXPECT_EQ(config.basicAuthUsers, (std::map<std::string, std::string>{{"prometheus", kHash}}));

    for (const char* plain : {"", "tls_server_config: {}\n", "basic_auth_users:\n"}) {
        const auto none = ParseWebConfig(plain);
        EXPECT_FALSE(none.tls) << plain;
        EXPECT_TRUE(none.basicAuthUsers.empty()) << plain;
    }
}

TEST(WebConfig, NamesTheKeyAtFault)
{
    const std::string tls = "tls_server_config:\n  cert_file: a\n  key_file: b\n";
    const struct {
        std::string text;
        std::string message;
    } cases[] = {
        {"web_config: 1\n", "web_config: unknown key"},
        {"http_server_config:\n  http2: false\n", "http_server_config: not supported by kwotarv"},
        {"- tls_server_config\n", "the file: give a mapping of keys to values"},
        {"tls_server_config: [\n", "not YAML: end of sequence flow not found (line 2)"},
        {"tls_server_config: on\n", "tls_server_config: give a mapping of keys to values"},
        {"? [a, b]\n: c\n", "not YAML: bad conversion (line 1)"},
        {tls + "  keyfile: b\n", "tls_server_config.keyfile: unknown key"},
        {tls + "  cipher_suites: [TLS_AES_128_GCM_SHA256]\n",
         "tls_server_config.cipher_suites: not supported by kwotarv"},
        {"tls_server_config:\n  cert_file: a\n",
         "tls_server_config.key_file: missing; TLS needs both cert_file and key_file"},
        {"tls_server_config:\n  cert_file: [a, b]\n  key_file: b\n",
         "tls_server_config.cert_file: give a single value"},
        {tls + "  min_version: TLS14\n",
         "tls_server_config.min_version: 'TLS14' is not one of TLS10, TLS11, TLS12, TLS13"},
        {tls + "  min_version: TLS13\n  max_version: TLS12\n",
         "tls_server_config.max_version: lower than min_version"},
        {tls + "  client_auth_type: RequireClientCert\n",
         "tls_server_config.client_auth_type: 'RequireClientCert' is not one of NoClientCert, "
         "RequestClientCert, RequireAnyClientCert, VerifyClientCertIfGiven, "
         "RequireAndVerifyClientCert"},
        {tls + "  client_auth_type: RequireAndVerifyClientCert\n",
         "tls_server_config.client_ca_file: missing; client_auth_type checks certificates "
         "against it"},
        {tls + "  client_ca_file: ca.crt\n",
         "tls_server_config.client_ca_file: given, but client_auth_type asks for no client "
         "certificate"},
        {"basic_auth_users:\n  alice: secret\n",
         "basic_auth_users.alice: not a bcrypt hash ($2a$, $2b$ or $2y$, as htpasswd -B makes)"},
        {"basic_auth_users:\n  'a:b': " + std::string(kHash) + "\n",
         "basic_auth_users.a:b: a user name is not empty and has no ':'"},
        {"basic_auth_users: [alice]\n",
         "basic_auth_users: give a mapping of user names to bcrypt hashes"},
    };
    for (const auto& c : cases) {
        try {
            ParseWebConfig(c.text);
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const kwotarv::WebConfigError& error) {
            EXPECT_EQ(error.what(), c.message) << c.text;
        }
    }
}

TEST(BasicAuth, AllowsOnlyAUsersPasswordInTheHeader)
{
    kwotarv::BasicAuth auth(std::map<std::string, std::string>{{"prometheus", kHash}});
    const struct {
        const char* authorization;
        bool allowed;
    } cases[] = {
        {"Basic cHJvbWV0aGV1czpzY3JhcGUtc2VjcmV0", true},      // prometheus:scrape-secret
        {"basic cHJvbWV0aGV1czpzY3JhcGUtc2VjcmV0", true},      // the scheme in any case
        {"Basic cHJvbWV0aGV1czpzY3JhcGUtc2VjcmV0", true},      // again, remembered
        {"Basic cHJvbWV0aGV1czpzY3JhcGUtc2VjcmU=", false},     // prometheus:scrape-secre
        {"Basic cHJvbWV0aGV1czpzY3JhcGUtc2VjcmV0eA==", false}, // one character more
        {"Basic bm9ib2R5OnNjcmFwZS1zZWNyZXQ=", false},         // nobody:scrape-secret
        {"Basic cHJvbWV0aGV1cw==", false},                     // no colon
        {"Basic cHJvbWV0aGV1czpzY3JhcGUtc2VjcmV", false},      // not base64 (length)
        // Blanks before, line ends and '-' after the base64 are skipped when the whole is
        // groups of four, as OpenSSL's decoder does.
        {"Basic     cHJvbWV0aGV1czpzY3JhcGUtc2VjcmV0", true},
        {"Basic \t \t cHJvbWV0aGV1czpzY3JhcGUtc2VjcmV0", true},
        {"Basic   cHJvbWV0aGV1czpzY3JhcGUtc2VjcmV0", false},
        {"Basic cHJvbWV0aGV1czpzY3JhcGUtc2VjcmV0----", true},
        {"Basic cHJvbWV0aGV1czpzY3JhcGUtc2VjcmV0 \r\n-", true},
        {"Basic cHJvbWV0aGV1czpzY3JhcGUtc2VjcmV0*===", false},
        {"Basic cHJvbWV0aGV1czpzY3JhcGUtc2Vjcm\xc3\xa9", false},
        {"Bearer cHJvbWV0aGV1czpzY3JhcGUtc2VjcmV0", false},
        {"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(auth.Allows(c.authorization), c.allowed) << c.authorization;
    EXPECT_TRUE(kwotarv::BasicAuth(std::map<std::string, std::string>()).Allows(""));
}

} // namespace
