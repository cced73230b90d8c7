// Text and JSON forms of what the commands print.
#include "report.hpp"

#include <algorithm>

#include "text.hpp"

namespace kwotarv {

using json = nlohmann::ordered_json;

namespace {

constexpr size_t kMinNameWidth = 8;
constexpr size_t kValueWidth = 8;
constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegExpandSz = 2;
constexpr uint32_t kRegBinary = 3;
constexpr uint32_t kRegDword = 4;
constexpr uint32_t kRegMultiSz = 7;

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

std::string GroupKindName(uint16_t kind)
{
    switch (kind) {
    case 1:
        return "voltages";
    case 2:
        return "first temperature";
    case 3:
        return "second temperature";
    default:
        return "kind " + std::to_string(kind);
    }
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

json ReadingsJson(const Readings& readings)
{
    json out = json::object();
    out["description"] = readings.description ? json(*readings.description) : json(nullptr);
    out["voltages"] = json::array();
    for (const auto& v : readings.voltages)
        out["voltages"].push_back({{"name", v.name}, {"volts", v.hundredths / 100.0}});
    out["temperatures"] = json::array();
    for (const auto& t : readings.temperatures)
        out["temperatures"].push_back(
            {{"name", t.name}, {"celsius", t.tenths ? json(*t.tenths / 10.0) : json(nullptr)}});
    out["fans"] = json::array();
    for (const auto& f : readings.fans)
        out["fans"].push_back(
            {{"name", f.name}, {"count", f.count}, {"rpm", f.rpm ? json(*f.rpm) : json(nullptr)}});
    if (!readings.errors.empty())
        out["errors"] = readings.errors;
    return out;
}

std::string ReadingsText(const Readings& readings)
{
    size_t width = kMinNameWidth;
    auto widen = [&](const std::string& name) { width = std::max(width, DisplayWidth(name)); };
    for (const auto& v : readings.voltages)
        widen(v.name);
    for (const auto& t : readings.temperatures)
        widen(t.name);
    for (const auto& f : readings.fans)
        widen(f.name);
    width += 2;

    std::string out = readings.description ? *readings.description : "(no description)";
    out += "\n\nVoltages\n";
    for (const auto& v : readings.voltages)
        out += "  " + PadRight(v.name, width) +
               PadLeft(FormatHundredths(v.hundredths), kValueWidth) + " V\n";
    if (readings.voltages.empty())
        out += "  (none)\n";

    out += "\nTemperatures\n";
    for (const auto& t : readings.temperatures) {
        out += "  " + PadRight(t.name, width);
        out += t.tenths ? PadLeft(FormatTenths(*t.tenths), kValueWidth) + " \u00B0C\n"
                        : PadLeft("-", kValueWidth) + "    (the driver reads two channels)\n";
    }
    if (readings.temperatures.empty())
        out += "  (none)\n";

    const bool speeds = std::any_of(readings.fans.begin(), readings.fans.end(),
                                    [](const FanReading& f) { return f.rpm.has_value(); });
    out += speeds ? "\nFans (count, speed)\n" : "\nFans (count)\n";
    for (const auto& f : readings.fans) {
        out += "  " + PadRight(f.name, width) + PadLeft(std::to_string(f.count), kValueWidth);
        if (f.rpm)
            out += PadLeft(std::to_string(*f.rpm), kValueWidth) + " RPM";
        out += "\n";
    }
    if (readings.fans.empty())
        out += "  (none)\n";
    return out;
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

json IoctlJson(const RawRequest& request, const Reply& reply)
{
    return {{"code", HexCode(request.code)},
            {"status", HexStatus(reply.status)},
            {"information", reply.information},
            {"output", HexBytes(reply.output)}};
}

std::string IoctlText(const RawRequest& request, const Reply& reply)
{
    const std::string codeName = ControlCodeName(request.code);
    const std::string statusName = StatusName(reply.status);
    std::string out;
    out +=
        "code         " + HexCode(request.code) + (codeName.empty() ? "" : " " + codeName) + "\n";
    out += "input        " + std::to_string(request.input.size()) + " bytes" +
           (request.input.empty() ? "" : ": " + HexBytes(request.input)) + "\n";
    out += "status       " + HexStatus(reply.status) +
           (statusName.empty() ? "" : " " + statusName) + "\n";
    out += "information  " + std::to_string(reply.information) + "\n";
    out += "output       " + std::to_string(reply.output.size()) + " of " +
           std::to_string(request.outputLength) + " bytes returned\n";
    out += HexDump(reply.output, "  ");
    return out;
}

} // namespace kwotarv
