// Reading serve's web configuration file with yaml-cpp: the document is a mapping of known
// keys, each checked as it is read; the first fault ends the reading with its key's path.
#include "serve/web_config.hpp"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <utility>
#include <vector>

namespace kwotarv {

namespace {

template <typename T> using Names = std::vector<std::pair<const char*, T>>;

const Names<TlsVersion> kVersions = {{"TLS10", TlsVersion::Tls10},
                                     {"TLS11", TlsVersion::Tls11},
                                     {"TLS12", TlsVersion::Tls12},
                                     {"TLS13", TlsVersion::Tls13}};

const Names<ClientAuth> kClientAuths = {
    {"NoClientCert", ClientAuth::None},
    {"RequestClientCert", ClientAuth::Request},
    {"RequireAnyClientCert", ClientAuth::RequireAny},
    {"VerifyClientCertIfGiven", ClientAuth::VerifyIfGiven},
    {"RequireAndVerifyClientCert", ClientAuth::RequireAndVerify}};

// Keys of the format that this server does not implement: named as such rather than unknown.
const std::vector<std::string> kUnsupported = {"http_server_config",
                                               "tls_server_config.cert",
                                               "tls_server_config.key",
                                               "tls_server_config.cipher_suites",
                                               "tls_server_config.curve_preferences",
                                               "tls_server_config.prefer_server_cipher_suites",
                                               "tls_server_config.client_allowed_sans"};

[[noreturn]] void Fail(const std::string& where, const std::string& what)
{
    throw WebConfigError(where + ": " + what);
}

// A scalar value at `where` as text.
std::string Text(const YAML::Node& node, const std::string& where)
{
    if (!node.IsScalar())
        Fail(where, "give a single value");
    return node.Scalar();
}

template <typename T>
T Named(const YAML::Node& node, const std::string& where, const Names<T>& names)
{
    const std::string text = Text(node, where);
    std::string choices;
    for (const auto& [name, value] : names) {
        if (text == name)
            return value;
        choices += (choices.empty() ? "" : ", ") + std::string(name);
    }
    Fail(where, "'" + text + "' is not one of " + choices);
}

// A file name, absolute or relative to the configuration's directory.
std::string FileName(const YAML::Node& node, const std::string& where, const std::string& dir)
{
    const std::string name = Text(node, where);
    if (name.empty())
        Fail(where, "give a file name");
    return (std::filesystem::path(dir) / name).lexically_normal().string();
}

// Each key of the mapping at `where` (prefix "" at the top) with its value, in order; an
// unknown or unimplemented key fails.
template <typename Visit>
void EachKey(const YAML::Node& map, const std::string& where, const std::vector<std::string>& known,
             Visit visit)
{
    if (map.IsNull())
        return;
    if (!map.IsMap())
        Fail(where.empty() ? "the file" : where, "give a mapping of keys to values");
    for (const auto& entry : map) {
        const std::string key = entry.first.as<std::string>();
        const std::string path = where.empty() ? key : where + "." + key;
        if (std::find(kUnsupported.begin(), kUnsupported.end(), path) != kUnsupported.end())
            Fail(path, "not supported by kwotarv");
        if (std::find(known.begin(), known.end(), key) == known.end())
            Fail(path, "unknown key");
        visit(key, entry.second, path);
    }
}

TlsSettings ReadTls(const YAML::Node& node, const std::string& dir)
{
    TlsSettings tls;
    std::optional<TlsVersion> max;
    EachKey(node, "tls_server_config",
            {"cert_file", "key_file", "min_version", "max_version", "client_auth_type",
             "client_ca_file"},
            [&](const std::string& key, const YAML::Node& value, const std::string& path) {
                if (key == "cert_file")
                    tls.certFile = FileName(value, path, dir);
                else if (key == "key_file")
                    tls.keyFile = FileName(value, path, dir);
                else if (key == "min_version")
                    tls.minVersion = Named(value, path, kVersions);
                else if (key == "max_version")
                    tls.maxVersion = Named(value, path, kVersions);
                else if (key == "client_auth_type")
                    tls.clientAuth = Named(value, path, kClientAuths);
                else
                    tls.clientCaFile = FileName(value, path, dir);
            });
    if (tls.certFile.empty() || tls.keyFile.empty())
        Fail(tls.certFile.empty() ? "tls_server_config.cert_file" : "tls_server_config.key_file",
             "missing; TLS needs both cert_file and key_file");
    if (tls.maxVersion < tls.minVersion)
        Fail("tls_server_config.max_version", "lower than min_version");
    const bool verifies = tls.clientAuth == ClientAuth::VerifyIfGiven ||
                          tls.clientAuth == ClientAuth::RequireAndVerify;
    if (verifies && tls.clientCaFile.empty())
        Fail("tls_server_config.client_ca_file", "missing; client_auth_type checks certificates "
                                                 "against it");
    if (!tls.clientCaFile.empty() && tls.clientAuth == ClientAuth::None)
        Fail("tls_server_config.client_ca_file", "given, but client_auth_type asks for no "
                                                 "client certificate");
    return tls;
}

// A bcrypt hash as crypt(3) writes it: $2a$, $2b$ or $2y$, a two-digit cost, '$', 53 characters.
bool IsBcryptHash(const std::string& hash)
{
    return hash.size() == 60 && hash.compare(0, 2, "$2") == 0 &&
           (hash[2] == 'a' || hash[2] == 'b' || hash[2] == 'y') && hash[3] == '$' &&
           std::isdigit(static_cast<unsigned char>(hash[4])) &&
           std::isdigit(static_cast<unsigned char>(hash[5])) && hash[6] == '$';
}

std::map<std::string, std::string> ReadUsers(const YAML::Node& node)
{
    std::map<std::string, std::string> users;
    if (!node.IsNull() && !node.IsMap())
        Fail("basic_auth_users", "give a mapping of user names to bcrypt hashes");
    for (const auto& entry : node) {
        const std::string user = entry.first.as<std::string>();
        const std::string where = "basic_auth_users." + user;
        if (user.empty() || user.find(':') != std::string::npos)
            Fail(where, "a user name is not empty and has no ':'");
        const std::string hash = Text(entry.second, where);
        if (!IsBcryptHash(hash))
            Fail(where, "not a bcrypt hash ($2a$, $2b$ or $2y$, as htpasswd -B makes)");
        users[user] = hash;
    }
    return users;
}

} // namespace

WebConfig ParseWebConfig(const std::string& text, const std::string& directory)
{
    WebConfig config;
    try {
        EachKey(YAML::Load(text), "", {"tls_server_config", "basic_auth_users"},
                [&](const std::string& key, const YAML::Node& value, const std::string&) {
                    if (key == "basic_auth_users")
                        config.basicAuthUsers = ReadUsers(value);
                    else if (!value.IsNull() && !(value.IsMap() && value.size() == 0))
                        config.tls = ReadTls(value, directory);
                });
    } catch (const YAML::Exception& error) { // not YAML, or a key that is not a name
        throw WebConfigError("not YAML: " + error.msg + " (line " +
                             std::to_string(error.mark.line + 1) + ")");
    }
    return config;
}

WebConfig LoadWebConfig(const std::string& path)
{
    std::error_code error;
    std::ifstream in(path, std::ios::binary);
    if (!std::filesystem::is_regular_file(path, error) || !in)
        throw WebConfigError("cannot read it (no such file?)");
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad())
        throw WebConfigError("cannot read it");
    const std::string directory = std::filesystem::path(path).parent_path().string();
    return ParseWebConfig(text, directory.empty() ? "." : directory);
}

} // namespace kwotarv
