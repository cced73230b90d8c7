// PEM blocks (base64 between BEGIN and END lines) and the DER of a PKCS#8 PrivateKeyInfo:
//   SEQUENCE { INTEGER version, SEQUENCE { OID algorithm, parameters }, OCTET STRING key, ... }
#include "serve/pem_file.hpp"

#include <cstring>
#include <string_view>

#include "serve/base64.hpp"

namespace kwotarv {

namespace {

constexpr char kBegin[] = "-----BEGIN ";
constexpr char kEnd[] = "-----END ";
constexpr char kDashes[] = "-----";

// A cursor over DER: each Next reads one element of the expected tag inside the current bounds.
class DerReader {
  public:
    DerReader(const uint8_t* data, size_t size) : at_(data), end_(data + size) {}
    bool Empty() const { return at_ == end_; }
    // The contents of the next element if its tag is `tag`.
    std::optional<DerReader> Next(uint8_t tag)
    {
        if (end_ - at_ < 2 || at_[0] != tag)
            return std::nullopt;
        size_t length = at_[1];
        const uint8_t* body = at_ + 2;
        if (length & 0x80) { // long form: the next 1 to 4 bytes are the length
            const size_t bytes = length & 0x7F;
            if (bytes == 0 || bytes > 4 || static_cast<size_t>(end_ - body) < bytes)
                return std::nullopt;
            length = 0;
            for (size_t i = 0; i < bytes; ++i)
                length = (length << 8) | *body++;
        }
        if (static_cast<size_t>(end_ - body) < length)
            return std::nullopt;
        at_ = body + length;
        return DerReader(body, length);
    }
    std::vector<uint8_t> Bytes() const { return {at_, end_}; }

  private:
    const uint8_t* at_;
    const uint8_t* end_;
};

constexpr uint8_t kSequence = 0x30, kInteger = 0x02, kOctetString = 0x04, kOid = 0x06;
// 1.2.840.113549.1.1.1 and 1.2.840.10045.2.1
const std::vector<uint8_t> kRsaEncryption = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
const std::vector<uint8_t> kEcPublicKey = {0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01};

} // namespace

std::vector<PemBlock> PemBlocks(const std::string& text)
{
    std::vector<PemBlock> blocks;
    size_t at = 0;
    while ((at = text.find(kBegin, at)) != std::string::npos) {
        const size_t labelAt = at + std::strlen(kBegin);
        const size_t labelEnd = text.find(kDashes, labelAt);
        if (labelEnd == std::string::npos)
            break;
        const std::string label = text.substr(labelAt, labelEnd - labelAt);
        const size_t bodyAt = labelEnd + std::strlen(kDashes);
        const size_t endAt = text.find(kEnd, bodyAt);
        if (endAt == std::string::npos)
            break;
        at = endAt + std::strlen(kEnd);
        if (text.compare(at, label.size() + std::strlen(kDashes), label + kDashes) != 0)
            continue;
        if (auto der = DecodePemBase64(std::string_view(text).substr(bodyAt, endAt - bodyAt));
            der && !der->empty())
            blocks.push_back({label, std::move(*der)});
    }
    return blocks;
}

std::optional<PrivateKeyInfo> ParsePrivateKeyInfo(const std::vector<uint8_t>& der)
{
    DerReader outer(der.data(), der.size());
    auto info = outer.Next(kSequence);
    if (!info || !outer.Empty())
        return std::nullopt;
    auto version = info->Next(kInteger);
    auto algorithm = info->Next(kSequence);
    auto oid = algorithm ? algorithm->Next(kOid) : std::nullopt;
    auto key = info->Next(kOctetString);
    if (!version || !oid || !key)
        return std::nullopt;
    PrivateKeyInfo result;
    const std::vector<uint8_t> id = oid->Bytes();
    result.algorithm = id == kRsaEncryption ? KeyAlgorithm::Rsa
                       : id == kEcPublicKey ? KeyAlgorithm::Ec
                                            : KeyAlgorithm::Other;
    result.key = key->Bytes();
    return result;
}

} // namespace kwotarv
