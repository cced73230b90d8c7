// Text and JSON forms of the device description, the info block and the published values.
#include "output/info_report.hpp"

#include <algorithm>

#include "client/protocol_names.hpp"
#include "client/text.hpp"
#include "output/format.hpp"

namespace kwotarv {

using json = nlohmann::ordered_json;

namespace {

// Texts of a REG_MULTI_SZ value: zero-terminated strings up to an empty one or the end.
std::vector<std::string> MultiStrings(const std::vector<uint8_t>& data)
{
    std::vector<std::string> strings;
    size_t start = 0;
    const size_t units = data.size() / 2;
    for (size_t i = 0; i <= units; ++i) {
        const bool end = i == units || (data[2 * i] == 0 && data[2 * i + 1] == 0);
        if (!end)
            continue;
        if (i == start)
            break; // the empty string that ends the list
        strings.push_back(Utf16LeToUtf8(std::span(data).subspan(2 * start, 2 * (i - start))));
        start = i + 1;
    }
    return strings;
}

std::string ValueText(const PublishedValue& value)
{
    switch (value.type) {
    case kRegSz:
    case kRegExpandSz:
        return Utf16LeToUtf8(value.data);
    case kRegDword:
        if (value.data.size() == 4)
            return std::to_string(ReadLe32(value.data, 0));
        break;
    case kRegMultiSz: {
        std::string text;
        for (const auto& s : MultiStrings(value.data))
            text += (text.empty() ? "\"" : ", \"") + s + "\"";
        return text.empty() ? "(empty)" : text;
    }
    default:
        break;
    }
    return HexBytes(value.data);
}

std::string Join(const std::vector<std::string>& parts, const std::string& separator)
{
    std::string text;
    for (const auto& part : parts)
        text += (text.empty() ? "" : separator) + part;
    return text;
}

} // namespace

std::string RegistryTypeName(uint32_t type)
{
    switch (type) {
    case 0:
        return "REG_NONE";
    case kRegSz:
        return "REG_SZ";
    case kRegExpandSz:
        return "REG_EXPAND_SZ";
    case kRegBinary:
        return "REG_BINARY";
    case kRegDword:
        return "REG_DWORD";
    case kRegMultiSz:
        return "REG_MULTI_SZ";
    default:
        return "type " + std::to_string(type);
    }
}

json RegistryValueJson(const PublishedValue& value)
{
    switch (value.type) {
    case kRegSz:
    case kRegExpandSz:
        return Utf16LeToUtf8(value.data);
    case kRegMultiSz:
        return MultiStrings(value.data);
    case kRegDword:
        if (value.data.size() == 4)
            return ReadLe32(value.data, 0);
        break;
    default:
        break;
    }
    return HexBytes(value.data);
}

json InfoJson(const InfoReport& info)
{
    json out = json::object();
    out["description"] = info.description ? json(info.description->text) : json(nullptr);
    out["voltage_list"] = info.description ? json(info.description->voltageList) : json(nullptr);
    if (info.block) {
        json groups = json::array();
        for (const auto& g : info.block->groups) {
            json group = {{"kind", g.kind}, {"names", g.names}};
            if (g.kind != 1) {
                group["attribute"] = g.attribute;
                group["attribute2"] = g.attribute2;
            }
            groups.push_back(group);
        }
        out["info_block"] = {{"size", info.block->size},
                             {"description", info.block->description},
                             {"group_count", info.block->groupCount},
                             {"groups", groups}};
        if (!info.block->problems.empty())
            out["info_block"]["problems"] = info.block->problems;
    } else {
        out["info_block"] = nullptr;
    }
    if (info.registry) {
        out["registry"] = json::object();
        for (const auto& value : *info.registry)
            out["registry"][value.name] = RegistryValueJson(value);
    } else {
        out["registry"] = nullptr;
    }
    if (!info.errors.empty())
        out["errors"] = info.errors;
    return out;
}

std::string InfoText(const InfoReport& info)
{
    std::string out;
    if (info.description) {
        out += "Description   " + info.description->text + "\n";
        out += "Voltage list  \"" + info.description->voltageList + "\"\n";
    } else {
        out += "Description   (not available)\n";
    }

    out += "\n";
    if (info.block) {
        out += "Info block    " + std::to_string(info.block->size) + " bytes, " +
               std::to_string(info.block->groupCount) +
               (info.block->groupCount == 1 ? " group\n" : " groups\n");
        for (const auto& g : info.block->groups)
            out += "  " + std::to_string(g.kind) + " " + PadRight(GroupKindName(g.kind), 20) +
                   Join(g.names, ", ") + "\n";
        for (const auto& problem : info.block->problems)
            out += "  problem: " + problem + "\n";
    } else {
        out += "Info block    (not available)\n";
    }

    if (info.registry) {
        out += "\nPublished under HKLM\\SYSTEM\\CurrentControlSet\\Services\\KwoTarv\n";
        size_t width = 0;
        for (const auto& value : *info.registry)
            width = std::max(width, value.name.size());
        for (const auto& value : *info.registry)
            out += "  " + PadRight(value.name, width + 2) +
                   PadRight(RegistryTypeName(value.type), 14) + ValueText(value) + "\n";
        if (info.registry->empty())
            out += "  (nothing)\n";
    }
    return out;
}

} // namespace kwotarv
