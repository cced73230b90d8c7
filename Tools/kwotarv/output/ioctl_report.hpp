// What `kwotarv ioctl` prints: the request, the status, the information and the output bytes,
// as text (with a hex dump) or as JSON.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "client/device.hpp"

namespace kwotarv {

struct RawRequest {
    uint32_t code = 0;
    std::vector<uint8_t> input;
    uint32_t outputLength = 0;
};

nlohmann::ordered_json IoctlJson(const RawRequest& request, const Reply& reply);
std::string IoctlText(const RawRequest& request, const Reply& reply);

} // namespace kwotarv
