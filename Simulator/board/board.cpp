// Board descriptions: board.json parsing with messages that name the key at fault.
#include "board/board.hpp"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "hardware/physical_memory.hpp"

namespace sim::machine {

namespace {

using nlohmann::json;

const std::set<std::string> kKnownKeys = {"chip",      "chip_id",  "config_port", "hwm_base",
                                          "registers", "timeline", "cpu",         "northbridge",
                                          "firmware",  "comment"};

[[noreturn]] void Fail(const std::string& source, const std::string& key, const std::string& what)
{
    throw BoardError(source + ": " + (key.empty() ? "" : key + ": ") + what);
}

// An unsigned number given as a JSON number or as text ("0x2E", "46").
uint64_t Number(const json& value, uint64_t max, const std::string& source, const std::string& key)
{
    uint64_t result = 0;
    if (value.is_number_unsigned()) {
        result = value.get<uint64_t>();
    } else if (value.is_string()) {
        const std::string text = value.get<std::string>();
        size_t used = 0;
        try {
            result = std::stoull(text, &used, 0);
        } catch (const std::exception&) {
            used = 0;
        }
        if (text.empty() || used != text.size() || text[0] == '-' || text[0] == '+')
            Fail(source, key, "'" + text + "' is not a number (write it like \"0x2E\" or \"46\")");
    } else if (value.is_number()) {
        Fail(source, key,
             "'" + value.dump() + "' is not a whole number from 0 to " + std::to_string(max));
    } else {
        Fail(source, key,
             "expected a number or a string such as \"0x2E\", found " +
                 std::string(value.type_name()));
    }
    if (result > max) {
        std::ostringstream limit;
        limit << "0x" << std::hex << std::uppercase << max;
        Fail(source, key, "value " + std::to_string(result) + " is larger than " + limit.str());
    }
    return result;
}

bool Boolean(const json& value, const std::string& source, const std::string& key)
{
    if (!value.is_boolean())
        Fail(source, key, "expected true or false, found " + std::string(value.type_name()));
    return value.get<bool>();
}

std::string Text(const json& value, const std::string& source, const std::string& key)
{
    if (!value.is_string())
        Fail(source, key, "expected a string, found " + std::string(value.type_name()));
    return value.get<std::string>();
}

// Seconds given as a JSON number above 0.
double Seconds(const json& value, const std::string& source, const std::string& key)
{
    if (!value.is_number())
        Fail(source, key, "expected a number of seconds, found " + std::string(value.type_name()));
    const double seconds = value.get<double>();
    if (!(seconds > 0) || seconds > 1e9)
        Fail(source, key, "'" + value.dump() + "' is not a number of seconds above 0");
    return seconds;
}

RegisterMap ParseRegisterMap(const json& registers, const std::string& source,
                             const std::string& key)
{
    if (!registers.is_object())
        Fail(source, key, "expected an object such as {\"0x0020\": \"0xCC\"}");
    RegisterMap map;
    for (const auto& [name, value] : registers.items()) {
        const std::string path = key.empty() ? name : key + "." + name;
        const auto reg = static_cast<uint16_t>(Number(json(name), 0xFFFF, source, path));
        if (map.contains(reg))
            Fail(source, path, "the register is given twice");
        map[reg] = static_cast<uint8_t>(Number(value, 0xFF, source, path));
    }
    return map;
}

void ParseTimeline(const json& timeline, Board& board, const std::string& source)
{
    if (!timeline.is_object())
        Fail(source, "timeline", "expected an object such as {\"steps\": [...]}");
    for (const auto& [key, value] : timeline.items())
        if (key != "steps" && key != "repeat")
            Fail(source, "timeline." + key, "unknown key (known: steps, repeat)");
    if (timeline.contains("repeat"))
        board.timeline.repeat = Seconds(timeline["repeat"], source, "timeline.repeat");
    if (!timeline.contains("steps") || !timeline["steps"].is_array())
        Fail(source, "timeline.steps", "expected a list of {\"at\": ..., \"registers\": {...}}");
    const json& steps = timeline["steps"];
    for (size_t i = 0; i < steps.size(); ++i) {
        const std::string path = "timeline.steps[" + std::to_string(i) + "]";
        const json& step = steps[i];
        if (!step.is_object() || !step.contains("at") || !step.contains("registers"))
            Fail(source, path, "expected {\"at\": seconds, \"registers\": {...}}");
        for (const auto& [key, value] : step.items())
            if (key != "at" && key != "registers")
                Fail(source, path + "." + key, "unknown key (known: at, registers)");
        TimelineStep parsed{Seconds(step["at"], source, path + ".at"),
                            ParseRegisterMap(step["registers"], source, path + ".registers")};
        if (board.timeline.repeat > 0 && parsed.at > board.timeline.repeat)
            Fail(source, path + ".at", "comes after the repeat period");
        board.timeline.steps.push_back(std::move(parsed));
    }
    std::stable_sort(board.timeline.steps.begin(), board.timeline.steps.end(),
                     [](const TimelineStep& a, const TimelineStep& b) { return a.at < b.at; });
}

void ParseCpu(const json& cpu, Board& board, const std::string& source)
{
    if (!cpu.is_object())
        Fail(source, "cpu", "expected an object such as {\"thermal_sensor\": true}");
    for (const auto& [key, value] : cpu.items()) {
        if (key == "thermal_sensor")
            board.cpu.thermalSensor = Boolean(value, source, "cpu.thermal_sensor");
        else if (key == "thermal_status")
            board.cpu.thermalStatus = Number(value, UINT64_MAX, source, "cpu.thermal_status");
        else
            Fail(source, "cpu." + key, "unknown key (known: thermal_sensor, thermal_status)");
    }
}

void ParseFirmware(const json& firmware, Board& board, const std::string& source,
                   const std::filesystem::path& directory)
{
    if (firmware.is_string()) {
        const std::string name = firmware.get<std::string>();
        if (name.empty())
            Fail(source, "firmware", "the file name is empty");
        board.firmware.kind = FirmwareDescription::Kind::File;
        board.firmware.file = directory.empty() ? std::filesystem::path(name) : directory / name;
        return;
    }
    if (firmware.is_object()) {
        for (const auto& [key, value] : firmware.items())
            if (key != "text")
                Fail(source, "firmware." + key, "unknown key (known: text)");
        if (!firmware.contains("text"))
            Fail(source, "firmware", "expected {\"text\": \"...\"} or a file name");
        board.firmware.kind = FirmwareDescription::Kind::Text;
        board.firmware.text = Text(firmware["text"], source, "firmware.text");
        if (board.firmware.text.size() + 1 > hw::kFirmwareSegmentSize - kSynthesisedTextOffset)
            Fail(source, "firmware.text", "the text is too long for the synthesised image");
        return;
    }
    Fail(source, "firmware", "expected a file name or {\"text\": \"...\"}");
}

} // namespace

std::string ReadFile(const std::filesystem::path& file, const std::string& what)
{
    const auto fail = [&](const std::string& why) {
        throw BoardError("cannot read " + what + " '" + file.string() + "'" +
                         (why.empty() ? "" : ": " + why));
    };
    std::error_code error;
    if (std::filesystem::is_directory(file, error))
        fail("it is a directory");
    std::ifstream in(file, std::ios::binary);
    if (!in)
        fail(std::error_code(errno, std::generic_category()).message());
    std::string bytes;
    try {
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } catch (const std::ios_base::failure&) {
        fail("read error");
    }
    if (in.bad())
        fail("read error");
    return bytes;
}

Board ParseBoard(std::string_view text, const std::string& source,
                 const std::filesystem::path& directory)
{
    json root;
    try {
        root = json::parse(text);
    } catch (const json::parse_error& error) {
        throw BoardError(source + ": not valid JSON (" + error.what() + ")");
    } catch (const json::exception& error) {
        // A number beyond what a double holds (1e400), for one.
        throw BoardError(source + ": unusable JSON (" + error.what() + ")");
    }
    if (!root.is_object())
        Fail(source, "", "expected a JSON object with at least a \"chip\" key");

    Board board;
    board.directory = directory;
    board.name = directory.empty() ? source : directory.filename().string();
    if (board.name.empty()) // a path given with a trailing separator
        board.name = directory.parent_path().filename().string();

    for (const auto& [key, value] : root.items())
        if (!kKnownKeys.contains(key))
            Fail(source, key,
                 "unknown key (known: chip, chip_id, config_port, hwm_base, registers, timeline, "
                 "cpu, northbridge, firmware, comment)");

    if (!root.contains("chip"))
        Fail(source, "chip",
             "missing; name the chip (W83627HF, W83627DHG, NCT6776, NCT5523D or "
             "none)");
    const std::string chip = Text(root["chip"], source, "chip");
    auto kind = hw::ParseChipKind(chip);
    if (!kind)
        Fail(source, "chip",
             "'" + chip + "' is not a known chip (W83627HF, W83627DHG, NCT6776, NCT5523D, none)");
    board.chip = *kind;

    if (root.contains("chip_id"))
        board.chipId = static_cast<uint8_t>(Number(root["chip_id"], 0xFF, source, "chip_id"));
    if (root.contains("config_port")) {
        board.configPort =
            static_cast<uint16_t>(Number(root["config_port"], 0xFFFF, source, "config_port"));
        if (board.configPort != 0x2E && board.configPort != 0x4E)
            Fail(source, "config_port", "must be \"0x2E\" or \"0x4E\"");
    }
    if (root.contains("hwm_base"))
        board.hwmBase = static_cast<uint16_t>(Number(root["hwm_base"], 0xFFFF, source, "hwm_base"));
    if (root.contains("registers"))
        board.registers = ParseRegisterMap(root["registers"], source, "registers");
    if (root.contains("timeline"))
        ParseTimeline(root["timeline"], board, source);
    if (root.contains("cpu"))
        ParseCpu(root["cpu"], board, source);
    if (root.contains("northbridge"))
        board.northbridge =
            static_cast<uint32_t>(Number(root["northbridge"], 0xFFFFFFFF, source, "northbridge"));
    if (root.contains("firmware"))
        ParseFirmware(root["firmware"], board, source, directory);
    if (root.contains("comment"))
        board.comment = Text(root["comment"], source, "comment");
    return board;
}

RegisterMap ParseRegisterChanges(std::string_view text, const std::string& source)
{
    json root;
    try {
        root = json::parse(text);
    } catch (const json::exception& error) {
        throw BoardError(source + ": not valid JSON (" + error.what() + ")");
    }
    return ParseRegisterMap(root, source, "");
}

Board LoadBoard(const std::filesystem::path& directory)
{
    std::error_code error;
    if (!std::filesystem::is_directory(directory, error))
        throw BoardError("board directory '" + directory.string() + "' does not exist");
    const std::filesystem::path description = directory / "board.json";
    if (!std::filesystem::exists(description, error))
        throw BoardError("'" + directory.string() + "' holds no board.json");
    Board board =
        ParseBoard(ReadFile(description, "board description"), description.string(), directory);
    const std::filesystem::path registry = directory / "registry.reg";
    if (std::filesystem::exists(registry, error))
        UseRegistryFile(board, registry);
    if (board.firmware.kind == FirmwareDescription::Kind::File &&
        !std::filesystem::exists(board.firmware.file, error))
        throw BoardError(description.string() + ": firmware: the file '" +
                         board.firmware.file.string() + "' does not exist");
    return board;
}

void UseFirmwareFile(Board& board, const std::filesystem::path& file)
{
    board.firmware.kind = FirmwareDescription::Kind::File;
    board.firmware.file = file;
    board.firmware.text.clear();
}

void UseRegistryFile(Board& board, const std::filesystem::path& file)
{
    board.registryText = ReadFile(file, "registry file");
    board.registrySource = file.string();
}

std::vector<uint8_t> FirmwareImage(const Board& board)
{
    std::vector<uint8_t> image(hw::kFirmwareSegmentSize, 0);
    switch (board.firmware.kind) {
    case FirmwareDescription::Kind::None:
        break;
    case FirmwareDescription::Kind::Text:
        std::copy(board.firmware.text.begin(), board.firmware.text.end(),
                  image.begin() + kSynthesisedTextOffset);
        break;
    case FirmwareDescription::Kind::File: {
        const std::string bytes = ReadFile(board.firmware.file, "firmware image");
        // A dump of the whole segment, or of the 0xFFFF bytes the driver maps.
        if (bytes.size() != hw::kFirmwareSegmentSize &&
            bytes.size() != hw::kFirmwareSegmentSize - 1)
            throw BoardError("firmware image '" + board.firmware.file.string() + "' is " +
                             std::to_string(bytes.size()) +
                             " bytes long; a dump of the F-segment (0xF0000-0xFFFFF) is 65536 "
                             "bytes");
        std::copy(bytes.begin(), bytes.end(), image.begin());
        break;
    }
    }
    return image;
}

uint8_t ChipIdOf(const Board& board)
{
    if (board.chipId)
        return *board.chipId;
    return hw::SuperIoConfig::For(board.chip).id;
}

} // namespace sim::machine
