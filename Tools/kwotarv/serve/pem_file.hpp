// What the Windows TLS transport reads out of PEM files itself: the blocks with their labels,
// decoded, and the key inside a PKCS#8 PrivateKeyInfo. Plain byte work, no cryptography.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kwotarv {

struct PemBlock {
    std::string label;        // "CERTIFICATE", "PRIVATE KEY", "RSA PRIVATE KEY", ...
    std::vector<uint8_t> der; // the decoded body
};

// Every well-formed "-----BEGIN L-----" ... "-----END L-----" block of `text`, in order; text
// around and between the blocks is ignored. A block whose body is not base64 (or whose END
// label differs) is left out.
std::vector<PemBlock> PemBlocks(const std::string& text);

enum class KeyAlgorithm { Rsa, Ec, Other };

struct PrivateKeyInfo {
    KeyAlgorithm algorithm = KeyAlgorithm::Other;
    std::vector<uint8_t> key; // RSA: the PKCS#1 RSAPrivateKey; EC: the ECPrivateKey
};

// The algorithm and key of a DER PKCS#8 PrivateKeyInfo; nullopt when it is not one.
std::optional<PrivateKeyInfo> ParsePrivateKeyInfo(const std::vector<uint8_t>& der);

} // namespace kwotarv
