// PEM blocks and PKCS#8 keys as the Windows TLS transport reads them: base64 edge cases, blocks
// among other text, DER lengths in both forms, bodies cut short, and a key made by openssl
// whose inner key must be exactly its PKCS#1 form.
#include <gtest/gtest.h>

#include "kwotarv/peer_process.hpp"
#include "process.hpp"
#include "serve/pem_file.hpp"
#include "test_text.hpp"

namespace {

using kwotarv::KeyAlgorithm;
using Bytes = std::vector<uint8_t>;

std::string Block(const std::string& label, const std::string& body)
{
    return "-----BEGIN " + label + "-----\n" + body + "\n-----END " + label + "-----\n";
}

TEST(PemFile, FindsTheBlocksAndDecodesTheirBase64)
{
    const struct {
        std::string text;
        std::vector<std::pair<std::string, std::string>> blocks; // label, bytes
    } cases[] = {
        {Block("A", "TWFu"), {{"A", "Man"}}},
        {Block("A", "TWE="), {{"A", "Ma"}}},
        {Block("A", "TQ=="), {{"A", "M"}}},
        {Block("A", "TW\r\nFu"), {{"A", "Man"}}},
        {"intro\n" + Block("A", "TWFu") + "between\n" + Block("B C", "TQ=="),
         {{"A", "Man"}, {"B C", "M"}}},
        {Block("A", "TQ=") + Block("B", "TQ"), {{"B", "M"}}},          // padding short of a group
        {Block("A", "TQ==TWFu") + Block("B", "TWFu"), {{"B", "Man"}}}, // data after padding
        {Block("A", "TWF") + Block("B", "T"), {{"A", "Ma"}}},          // one character over a group
        {Block("A", "TW*u"), {}},
        {Block("A", ""), {}},
        {"-----BEGIN A-----\nTWFu\n-----END B-----\n" + Block("C", "TWFu"), {{"C", "Man"}}},
        {"-----BEGIN A-----\nTWFu\n", {}},
    };
    for (const auto& c : cases) {
        const auto blocks = kwotarv::PemBlocks(c.text);
        ASSERT_EQ(blocks.size(), c.blocks.size()) << c.text;
        for (size_t i = 0; i < blocks.size(); ++i) {
            EXPECT_EQ(blocks[i].label, c.blocks[i].first) << c.text;
            EXPECT_EQ(std::string(blocks[i].der.begin(), blocks[i].der.end()), c.blocks[i].second)
                << c.text;
        }
    }
}

TEST(PemFile, ReadsThePrivateKeyInfo)
{
    const Bytes rsaOid = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
    const Bytes ecOid = {0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01};
    const Bytes ed25519Oid = {0x06, 0x03, 0x2B, 0x65, 0x70};
    // SEQUENCE { INTEGER 0, SEQUENCE { oid, params }, OCTET STRING key }, with the outer
    // length in short or long form.
    const auto info = [](const Bytes& oid, const Bytes& params, const Bytes& key, bool longForm) {
        Bytes algorithm = {0x30, static_cast<uint8_t>(oid.size() + params.size())};
        algorithm.insert(algorithm.end(), oid.begin(), oid.end());
        algorithm.insert(algorithm.end(), params.begin(), params.end());
        Bytes body = {0x02, 0x01, 0x00};
        body.insert(body.end(), algorithm.begin(), algorithm.end());
        body.insert(body.end(), {0x04, static_cast<uint8_t>(key.size())});
        body.insert(body.end(), key.begin(), key.end());
        Bytes der = longForm ? Bytes{0x30, 0x81, static_cast<uint8_t>(body.size())}
                             : Bytes{0x30, static_cast<uint8_t>(body.size())};
        der.insert(der.end(), body.begin(), body.end());
        return der;
    };
    const Bytes null = {0x05, 0x00}, key = {0xAA, 0xBB, 0xCC};
    const Bytes rsa = info(rsaOid, null, key, false);
    const auto cut = [](Bytes der, size_t n) { return Bytes(der.begin(), der.end() - n); };
    auto trailing = rsa;
    trailing.push_back(0x00);
    auto tooLong = rsa;
    tooLong[1] = 0x85; // a five-byte length
    const struct {
        Bytes der;
        bool valid;
        KeyAlgorithm algorithm;
    } cases[] = {
        {rsa, true, KeyAlgorithm::Rsa},
        {info(rsaOid, null, key, true), true, KeyAlgorithm::Rsa},
        {info(ecOid, {0x06, 0x02, 0x2A, 0x03}, key, false), true, KeyAlgorithm::Ec},
        {info(ed25519Oid, {}, key, false), true, KeyAlgorithm::Other},
        {cut(rsa, 1), false, {}},
        {trailing, false, {}},
        {tooLong, false, {}},
        {Bytes{0x30, 0x03, 0x02, 0x01, 0x00}, false, {}},
        {Bytes{}, false, {}},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto parsed = kwotarv::ParsePrivateKeyInfo(cases[i].der);
        ASSERT_EQ(parsed.has_value(), cases[i].valid) << "case " << i;
        if (parsed) {
            EXPECT_EQ(parsed->algorithm, cases[i].algorithm) << "case " << i;
            EXPECT_EQ(parsed->key, key) << "case " << i;
        }
    }
}

TEST(PemFile, FindsTheRsaKeyOfAnOpensslKey)
{
    const std::string openssl = servetest::FindProgram("openssl");
    if (openssl.empty())
        GTEST_SKIP() << "openssl is not installed";
    tooltest::ScratchDir scratch;
    const std::string pkcs8 = scratch.Path("key.pem"), pkcs1 = scratch.Path("rsa.pem");
    ASSERT_EQ(tooltest::RunProgram({openssl, "genpkey", "-algorithm", "rsa", "-pkeyopt",
                                    "rsa_keygen_bits:1024", "-out", pkcs8})
                  .exitCode,
              0);
    ASSERT_EQ(tooltest::RunProgram({openssl, "rsa", "-in", pkcs8, "-traditional", "-out", pkcs1})
                  .exitCode,
              0);
    const auto outer = kwotarv::PemBlocks(tooltest::ReadText(pkcs8));
    const auto inner = kwotarv::PemBlocks(tooltest::ReadText(pkcs1));
    ASSERT_EQ(outer.size(), 1u);
    ASSERT_EQ(inner.size(), 1u);
    EXPECT_EQ(outer[0].label, "PRIVATE KEY");
    EXPECT_EQ(inner[0].label, "RSA PRIVATE KEY");
    const auto info = kwotarv::ParsePrivateKeyInfo(outer[0].der);
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(info->algorithm, KeyAlgorithm::Rsa);
    EXPECT_EQ(info->key, inner[0].der);
}

} // namespace
