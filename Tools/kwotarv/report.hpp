// What the commands print: readings, the device description and raw replies, as text for a
// person or as JSON for a program.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "backend.hpp"
#include "hwm_client.hpp"
#include "info_block.hpp"

namespace kwotarv {

nlohmann::ordered_json ReadingsJson(const Readings& readings);
std::string ReadingsText(const Readings& readings);

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

struct RawRequest {
    uint32_t code = 0;
    std::vector<uint8_t> input;
    uint32_t outputLength = 0;
};

nlohmann::ordered_json IoctlJson(const RawRequest& request, const Reply& reply);
std::string IoctlText(const RawRequest& request, const Reply& reply);

} // namespace kwotarv
