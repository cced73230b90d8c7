// What `kwotarv info` prints: the description, the voltage list, the decoded info block and the
// values the driver published, as text or as JSON.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "backends/backend.hpp"
#include "client/hwm_client.hpp"
#include "client/info_block.hpp"

namespace kwotarv {

struct InfoReport {
    std::optional<Description> description;
    std::optional<InfoBlock> block;
    std::optional<std::vector<PublishedValue>> registry;
    std::vector<std::string> errors;
};

nlohmann::ordered_json InfoJson(const InfoReport& info);
std::string InfoText(const InfoReport& info);

// A registry value's data in JSON: REG_SZ text, REG_MULTI_SZ an array of texts, REG_DWORD a
// number, anything else lower-case hex.
nlohmann::ordered_json RegistryValueJson(const PublishedValue& value);
std::string RegistryTypeName(uint32_t type);

} // namespace kwotarv
