// Base64 (RFC 4648's standard alphabet) as serve meets it: in an Authorization header, where
// both builds must accept exactly what OpenSSL's EVP_DecodeBlock accepts, and in the body of a
// PEM block.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kwotarv {

// `encoded` decoded into whole groups of three bytes, as EVP_DecodeBlock does it: blanks before
// it and blanks, line ends and '-' after it are skipped, what is left must be groups of four
// base64 characters ('=' counting as zero; the caller drops the padding's bytes). False when it
// is not that.
bool DecodeBase64Groups(std::string_view encoded, std::string& decoded);

// A PEM body: white space anywhere is ignored, '=' padding (optional) only at the end; nullopt
// for any other character or a last group of one character.
std::optional<std::vector<uint8_t>> DecodePemBase64(std::string_view body);

} // namespace kwotarv
