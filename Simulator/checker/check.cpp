// The configuration check. Each rule mirrors what the driver does with the configuration:
// LoadBoardConfiguration (pattern order, Profile, channel lists), the readings (array room,
// temperature sources) and the description block (name slots, voltage list).
#include "checker/check.hpp"

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>

#include "kernel/registry/registry.hpp"
#include "kernel/reset.hpp"
#include "hardware/hardware.hpp"
#include "machine/machine.hpp"
#include "checker/patterns.hpp"
#include "chip/chip_profile.h"
#include "sensors/sensors.h"
#include "machine/driver_image.hpp"
#include "machine/product_name.hpp"

namespace sim::machine {

namespace {

// Room of the driver's reading arrays and text fields.
constexpr size_t kVoltageRoom = HWM_MAX_VOLTAGES;
constexpr size_t kTemperatureRoom = HWM_MAX_TEMPERATURES;
constexpr size_t kTemperaturesRead = 2;
constexpr size_t kFanRoom = HWM_MAX_FANS;
constexpr size_t kNameSlotBytes =
    HWM_CHANNEL_NAME_SLOT; // a name of the names request and info block
constexpr size_t kVoltageListUnits = HWM_VOLTAGE_LIST_SIZE / 2;
constexpr size_t kLongestChannelKey = 119; // longest channel subkey name the load enumerates

const char* const kDwordValues[] = {
    "PreferenceOrder", "FunctionIndex", "RegIndex", "AltRegIndex", "R1",       "R2",
    "Resolution",      "TjMax",         "Offset",   "LowLimit",    "HighLimit"};

enum class Kind { Voltage, Temperature, Fan };

struct KindInfo {
    Kind kind;
    const char* key;
    const char* plural;
    const char* defaultName;
    size_t room;
};

constexpr KindInfo kKinds[] = {
    {Kind::Voltage, "Voltage", "voltage", "Voltage", kVoltageRoom},
    {Kind::Temperature, "Temperature", "temperature", "Temperature", kTemperatureRoom},
    {Kind::Fan, "Fan", "fan", "Fan", kFanRoom},
};

struct ChipCounts {
    uint32_t voltage;
    uint32_t temperature;
    uint32_t fan;
    uint32_t Of(Kind kind) const
    {
        return kind == Kind::Voltage ? voltage : kind == Kind::Temperature ? temperature : fan;
    }
};

// The register-table sizes of the chip, as the driver's chip profile has them.
std::optional<ChipCounts> CountsOf(hw::ChipKind chip)
{
    const CHIP_PROFILE* profile = ChipProfileFromType(static_cast<ULONG>(chip));
    if (profile == nullptr)
        return std::nullopt;
    return ChipCounts{profile->VoltageRegCount, profile->TempRegCount, profile->FanRegCount};
}

bool SameName(std::string_view a, std::string_view b)
{
    return registry::CompareNames(registry::Utf8ToUtf16(a), registry::Utf8ToUtf16(b)) == 0;
}

const registry::Value* FindValue(const std::vector<registry::Value>& values, std::string_view name)
{
    for (const auto& value : values)
        if (SameName(value.name, name))
            return &value;
    return nullptr;
}

std::optional<uint32_t> Dword(const std::vector<registry::Value>& values, std::string_view name)
{
    const registry::Value* value = FindValue(values, name);
    if (value == nullptr || value->type != registry::kRegDword || value->data.size() < 4)
        return std::nullopt;
    return static_cast<uint32_t>(value->data[0] | value->data[1] << 8 | value->data[2] << 16 |
                                 static_cast<uint32_t>(value->data[3]) << 24);
}

std::string TypeName(uint32_t type)
{
    switch (type) {
    case registry::kRegNone:
        return "REG_NONE";
    case registry::kRegSz:
        return "REG_SZ";
    case registry::kRegExpandSz:
        return "REG_EXPAND_SZ";
    case registry::kRegBinary:
        return "REG_BINARY";
    case registry::kRegDword:
        return "REG_DWORD";
    case registry::kRegMultiSz:
        return "REG_MULTI_SZ";
    case registry::kRegQword:
        return "REG_QWORD";
    default:
        return "type " + std::to_string(type);
    }
}

std::string ChipName(hw::ChipKind chip)
{
    return std::string(hw::ChipKindName(chip));
}

// Text of REG_SZ data up to its first zero character.
std::string StringData(const std::vector<uint8_t>& data)
{
    std::u16string text;
    for (size_t i = 0; i + 1 < data.size(); i += 2) {
        char16_t unit = static_cast<char16_t>(data[i] | data[i + 1] << 8);
        if (unit == 0)
            break;
        text += unit;
    }
    return registry::Utf16ToUtf8(text);
}

// A channel as the driver's load would make it.
struct Channel {
    std::string key;
    std::string path;
    size_t position = 0;
    uint32_t preferenceOrder = 0;
    std::string name;    // text up to the first zero character
    size_t nameSize = 0; // NameSize: bytes of the name buffer, terminator included
    int32_t functionIndex = -1;
    uint32_t regIndex = 0;
    uint32_t tjMax = 0;
    uint32_t r1 = 0;
    uint32_t r2 = 0;
    int32_t offset = 0;
    std::optional<int32_t> lowLimit;
    std::optional<int32_t> highLimit;
    bool HasLimits() const { return lowLimit.has_value() || highLimit.has_value(); }
};

// A reading in its unit, for messages: hundredths of a volt, tenths of a degree or a count.
std::string ReadingText(Kind kind, int64_t value)
{
    char text[48];
    if (kind == Kind::Voltage)
        std::snprintf(text, sizeof text, "%.2f V", static_cast<double>(value) / 100);
    else if (kind == Kind::Temperature)
        std::snprintf(text, sizeof text, "%.1f \u00B0C", static_cast<double>(value) / 10);
    else
        std::snprintf(text, sizeof text, "%lld", static_cast<long long>(value));
    return text;
}

class Checker {
  public:
    explicit Checker(const CheckSubject& subject) : subject_(subject) {}

    std::vector<Finding> Run();

  private:
    void Add(Severity severity, const std::string& path, const std::string& message)
    {
        findings_.push_back({severity, path, message, false});
    }
    // An error on which the driver's configuration load fails.
    void AddFatal(const std::string& path, const std::string& message)
    {
        findings_.push_back({Severity::Error, path, message, true});
    }
    std::string Path(const std::string& relative) const { return "Product\\" + relative; }

    void CheckProfiles();
    void CheckShadowing();
    void CheckBoardKey(const std::string& board);
    // Returns the channels of one kind key in list order, or nullopt when the key is absent.
    std::optional<std::vector<Channel>> CheckKind(const std::string& board, const KindInfo& kind);
    void CheckChannelValues(const KindInfo& kind, Channel& channel,
                            const std::vector<registry::Value>& values);
    void CheckTemperatureSources(const std::vector<Channel>& channels);
    // The readings a channel can give at all, as the driver computes them; nullopt when not known.
    std::optional<std::pair<int64_t, int64_t>> ReadingRange(Kind kind,
                                                            const Channel& channel) const;
    void CheckLimits(Kind kind, const Channel& channel);
    void CheckUnreadLimits(const std::vector<Channel>& channels, size_t read,
                           const std::string& why);
    void CheckFirmware();

    const CheckSubject& subject_;
    std::vector<Finding> findings_;
    std::vector<std::string> patterns_;           // subkeys of Product, enumeration order
    std::map<std::string, std::string> profiles_; // pattern -> existing target
    std::set<std::string> redirected_;            // patterns with a REG_SZ Profile value
    std::set<std::string> targets_;
};

std::vector<Finding> Checker::Run()
{
    if (!registry::KeyExists(kProductKeyPath)) {
        AddFatal("Product",
                 "the key does not exist, so the device never starts; import a board configuration "
                 "(HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KwoTarv\\Product)");
        return findings_;
    }
    if (!CountsOf(subject_.chip))
        Add(Severity::Note, "chip",
            "the board names no chip, so register indices are not checked; give --chip to "
            "check them for one");
    patterns_ = registry::SubKeys(kProductKeyPath);
    if (patterns_.empty()) {
        AddFatal("Product",
                 "the key has no board patterns, so the device never starts; add one subkey per "
                 "board, named after its product name (wildcards * and ? allowed)");
        return findings_;
    }
    CheckProfiles();
    CheckShadowing();
    // A pattern with a Profile value takes its channels elsewhere (or fails on a bad one).
    for (const auto& pattern : patterns_)
        if (!redirected_.contains(pattern) || targets_.contains(pattern))
            CheckBoardKey(pattern);
    CheckFirmware();
    return findings_;
}

void Checker::CheckProfiles()
{
    for (const auto& pattern : patterns_) {
        const std::string key = std::string(kProductKeyPath) + "\\" + pattern;
        const auto values = registry::Values(key);
        const registry::Value* profile = FindValue(values, "Profile");
        if (profile == nullptr)
            continue;
        const std::string path = Path(pattern + "\\Profile");
        if (profile->type != registry::kRegSz) {
            Add(Severity::Warning, path,
                "is " + TypeName(profile->type) +
                    "; only REG_SZ is read, so the value is ignored and the pattern's own "
                    "channels are used");
            continue;
        }
        redirected_.insert(pattern);
        const std::string target = StringData(profile->data);
        if (profile->data.size() < 2 || target.empty()) {
            AddFatal(path, "is empty; it must name another subkey of Product");
            continue;
        }
        auto found = std::find_if(patterns_.begin(), patterns_.end(),
                                  [&](const std::string& p) { return SameName(p, target); });
        if (found == patterns_.end()) {
            AddFatal(path, "names '" + target +
                               "', which is not a subkey of Product; boards matching '" + pattern +
                               "' will not start");
            continue;
        }
        profiles_[pattern] = *found;
        targets_.insert(*found);
    }

    for (const auto& [pattern, target] : profiles_) {
        const std::string key = std::string(kProductKeyPath) + "\\" + pattern;
        for (const auto& kind : kKinds)
            if (registry::KeyExists(key + "\\" + kind.key))
                Add(Severity::Warning, Path(pattern + "\\" + kind.key),
                    std::string("is ignored: '") + pattern + "' takes its channels from '" +
                        target + "' through its Profile value");
        const auto targetValues = registry::Values(std::string(kProductKeyPath) + "\\" + target);
        if (FindValue(targetValues, "Profile") != nullptr && !SameName(target, pattern))
            Add(Severity::Warning, Path(target + "\\Profile"),
                "is not followed when '" + pattern +
                    "' redirects here: Profile redirection is one level deep");
    }
}

void Checker::CheckShadowing()
{
    std::vector<OuterPattern> outers;
    outers.reserve(patterns_.size());
    for (const auto& pattern : patterns_)
        outers.emplace_back(pattern);
    for (size_t later = 1; later < patterns_.size(); ++later) {
        // A key that serves as another pattern's Profile is used through the redirection.
        if (targets_.contains(patterns_[later]))
            continue;
        for (size_t earlier = 0; earlier < later; ++earlier) {
            if (!outers[earlier].Covers(patterns_[later]))
                continue;
            const std::string why = MatchesEverything(patterns_[earlier])
                                        ? "'" + patterns_[earlier] + "' matches every product name"
                                        : "'" + patterns_[earlier] +
                                              "' matches every product name that '" +
                                              patterns_[later] + "' matches";
            Add(Severity::Warning, Path(patterns_[later]),
                "is never used: " + why +
                    " and enumerates before it (the registry lists subkeys sorted "
                    "case-insensitively, and the first matching pattern is final)");
            break;
        }
    }
}

void Checker::CheckBoardKey(const std::string& board)
{
    std::map<Kind, std::vector<Channel>> lists;
    bool anyKind = false;
    for (const auto& kind : kKinds) {
        auto channels = CheckKind(board, kind);
        if (!channels)
            continue;
        auto counts = CountsOf(subject_.chip);
        if (counts && counts->Of(kind.kind) == 0)
            continue; // ignored by the driver, reported in CheckKind
        anyKind = anyKind || !channels->empty();
        lists[kind.kind] = std::move(*channels);
    }
    if (!anyKind) {
        AddFatal(Path(board),
                 "has no Voltage, Temperature or Fan channels the driver would load; the "
                 "configuration fails to load and the device does not start");
        return;
    }

    // Channels beyond the readings' room are never read.
    for (const auto& kind : kKinds) {
        const auto& channels = lists[kind.kind];
        const std::string path = Path(board + "\\" + kind.key);
        const size_t read = kind.kind == Kind::Temperature ? kTemperaturesRead : kind.room;
        CheckUnreadLimits(channels, read,
                          "the driver reads only " + std::to_string(read) + " " + kind.plural +
                              " channels");
        if (kind.kind == Kind::Temperature && channels.size() > kTemperaturesRead &&
            channels.size() <= kTemperatureRoom)
            Add(Severity::Warning, path,
                std::to_string(channels.size()) +
                    " temperature channels: only the first two are read; '" + channels[2].name +
                    "' always reports 0 and is missing from the info block");
        else if (channels.size() > kind.room)
            Add(Severity::Error, path,
                std::to_string(channels.size()) + " " + kind.plural +
                    " channels, but the readings hold " + std::to_string(kind.room) +
                    (kind.kind == Kind::Temperature ? " (of which two are read)" : "") +
                    "; channels after '" + channels[kind.room - 1].name + "' are never read");
    }

    // The voltage list: every name followed by a space, then a final NUL, in 64 characters.
    const auto& voltages = lists[Kind::Voltage];
    if (!voltages.empty()) {
        size_t units = 1;
        for (const auto& channel : voltages)
            units += (channel.nameSize >= 2 ? (channel.nameSize - 2) / 2 : 0) + 1;
        if (units > kVoltageListUnits)
            Add(Severity::Error, Path(board + "\\Voltage"),
                "the voltage names need " + std::to_string(units) +
                    " characters in the voltage list (each name and a space, then a final NUL), "
                    "which holds " +
                    std::to_string(kVoltageListUnits) + "; shorten the names");
    }
    CheckTemperatureSources(lists[Kind::Temperature]);
}

std::optional<std::vector<Channel>> Checker::CheckKind(const std::string& board,
                                                       const KindInfo& kind)
{
    const std::string key = std::string(kProductKeyPath) + "\\" + board + "\\" + kind.key;
    const std::string path = Path(board + "\\" + kind.key);
    if (!registry::KeyExists(key))
        return std::nullopt;
    const auto counts = CountsOf(subject_.chip);
    if (counts && counts->Of(kind.kind) == 0) {
        Add(Severity::Warning, path,
            "is ignored: the " + ChipName(subject_.chip) + " has no " + kind.plural +
                " registers the driver reads");
        std::vector<Channel> unread;
        for (const std::string& name : registry::SubKeys(key)) {
            const auto values = registry::Values(key + "\\" + name);
            Channel channel;
            channel.path = path + "\\" + name;
            channel.lowLimit = Dword(values, "LowLimit");
            channel.highLimit = Dword(values, "HighLimit");
            unread.push_back(std::move(channel));
        }
        CheckUnreadLimits(unread, 0, "the channel is never loaded");
        return std::vector<Channel>{};
    }
    const std::vector<std::string> subkeys = registry::SubKeys(key);
    if (subkeys.empty()) {
        AddFatal(
            path,
            "has no channel subkeys; the whole configuration fails to load and the device does "
            "not start (remove the key, or add channels \"0\", \"1\", ...)");
        return std::vector<Channel>{};
    }

    std::vector<Channel> list;
    for (size_t position = 0; position < subkeys.size(); ++position) {
        const std::string& name = subkeys[position];
        Channel channel;
        channel.key = name;
        channel.path = path + "\\" + name;
        channel.position = position;
        if (registry::Utf8ToUtf16(name).size() > kLongestChannelKey) {
            Add(Severity::Error, channel.path,
                "the subkey name is longer than " + std::to_string(kLongestChannelKey) +
                    " characters; the driver cannot enumerate it and its " + kind.plural +
                    " list ends before this channel");
            break;
        }
        channel.preferenceOrder = static_cast<uint32_t>(position + 1);
        CheckChannelValues(kind, channel, registry::Values(key + "\\" + name));
        // Ordered insertion: before the first channel whose PreferenceOrder is not smaller.
        auto at = std::find_if(list.begin(), list.end(), [&](const Channel& c) {
            return c.preferenceOrder >= channel.preferenceOrder;
        });
        list.insert(at, std::move(channel));
    }
    return list;
}

void Checker::CheckChannelValues(const KindInfo& kind, Channel& channel,
                                 const std::vector<registry::Value>& values)
{
    for (const auto& value : values) {
        const bool known = SameName(value.name, "FriendlyName") ||
                           std::any_of(std::begin(kDwordValues), std::end(kDwordValues),
                                       [&](const char* n) { return SameName(value.name, n); });
        if (!known) {
            Add(Severity::Warning, channel.path + "\\" + value.name,
                "is not a value the driver reads (FriendlyName, RegIndex, FunctionIndex, R1, "
                "R2, Offset, TjMax, PreferenceOrder, AltRegIndex, Resolution); is it misspelt?");
            continue;
        }
        const bool isName = SameName(value.name, "FriendlyName");
        const uint32_t expected = isName ? registry::kRegSz : registry::kRegDword;
        if (value.type != expected)
            Add(Severity::Warning, channel.path + "\\" + value.name,
                "is " + TypeName(value.type) + "; the driver reads only " + TypeName(expected) +
                    ", so the value counts as absent");
    }

    if (auto order = Dword(values, "PreferenceOrder"))
        channel.preferenceOrder = *order;

    const registry::Value* friendly = FindValue(values, "FriendlyName");
    if (friendly != nullptr && friendly->type == registry::kRegSz) {
        channel.name = StringData(friendly->data);
        channel.nameSize = friendly->data.size();
        const size_t units = friendly->data.size() / 2;
        const bool terminated = friendly->data.size() >= 2 && friendly->data.size() % 2 == 0 &&
                                friendly->data[2 * units - 1] == 0 &&
                                friendly->data[2 * units - 2] == 0;
        if (!terminated || channel.name.empty())
            Add(Severity::Warning, channel.path + "\\FriendlyName",
                channel.name.empty() ? "is empty; the channel has no name"
                                     : "does not end with a zero character");
    } else {
        channel.name = kind.defaultName;
        channel.nameSize = 2 * (std::string(kind.defaultName).size() + 1);
    }
    const size_t textUnits = registry::Utf8ToUtf16(channel.name).size();
    if (2 * (textUnits + 1) > kNameSlotBytes)
        Add(Severity::Warning, channel.path + "\\FriendlyName",
            "'" + channel.name + "' has " + std::to_string(textUnits) +
                " characters; a name slot holds 31 and its terminator, so the names request" +
                (kind.kind == Kind::Temperature ? " and the info block cut it" : " cuts it"));
    if (kind.kind == Kind::Voltage && channel.name.find(' ') != std::string::npos)
        Add(Severity::Warning, channel.path + "\\FriendlyName",
            "'" + channel.name +
                "' contains a space; the voltage list separates names with spaces, so it reads "
                "as several names there and in the info block");

    if (auto function = Dword(values, "FunctionIndex"))
        channel.functionIndex = static_cast<int32_t>(*function);
    if (auto tjMax = Dword(values, "TjMax"))
        channel.tjMax = *tjMax;

    const auto regIndex = Dword(values, "RegIndex");
    const auto counts = CountsOf(subject_.chip);
    if (regIndex) {
        channel.regIndex = *regIndex;
        const uint32_t count = counts ? counts->Of(kind.kind) : 0;
        if (counts && *regIndex >= count)
            AddFatal(channel.path + "\\RegIndex",
                     std::to_string(*regIndex) + " is out of range for the " +
                         ChipName(subject_.chip) + " (" + kind.plural + " register indices 0-" +
                         std::to_string(count - 1) +
                         "); the configuration fails to load (STATUS_REGISTRY_CORRUPT)");
    } else if (channel.functionIndex < 0) {
        AddFatal(channel.path,
                 "has neither a REG_DWORD RegIndex nor a FunctionIndex of 0 or more; the "
                 "configuration fails to load (STATUS_REGISTRY_CORRUPT)");
    } else if (kind.kind != Kind::Temperature) {
        Add(Severity::Warning, channel.path,
            "has no RegIndex; FunctionIndex applies to temperatures only, so the channel reads "
            "register index 0");
    }

    if (auto offset = Dword(values, "Offset"))
        channel.offset = static_cast<int32_t>(*offset);
    if (auto low = Dword(values, "LowLimit"))
        channel.lowLimit = static_cast<int32_t>(*low);
    if (auto high = Dword(values, "HighLimit"))
        channel.highLimit = static_cast<int32_t>(*high);

    if (kind.kind == Kind::Voltage) {
        const auto r1 = Dword(values, "R1");
        const auto r2 = Dword(values, "R2");
        channel.r1 = r1.value_or(0);
        channel.r2 = r2.value_or(0);
        if (r2 && *r2 == 0x80000000u)
            Add(Severity::Warning, channel.path + "\\R2",
                "R2 x 10 wraps to 0 in the driver's 32-bit arithmetic; the channel always reads "
                "0");
        if (r1 && *r1 != 0 && (!r2 || *r2 == 0))
            Add(Severity::Warning, channel.path + "\\R1",
                "is ignored without R2: a divider needs both resistors");
    }
    CheckLimits(kind.kind, channel);
}

std::optional<std::pair<int64_t, int64_t>> Checker::ReadingRange(Kind kind,
                                                                 const Channel& channel) const
{
    if (kind == Kind::Fan)
        return std::pair<int64_t, int64_t>{0, 0xFFFF};
    if (kind == Kind::Temperature) {
        // A register holds -128.0 to 127.5 degrees (the outside sources stay inside that too);
        // the offset moves the whole range.
        const int64_t offset = static_cast<int64_t>(channel.offset) * 10;
        return std::pair<int64_t, int64_t>{-1280 + offset, 1275 + offset};
    }
    // A voltage: 0 when the register reads 0, at most what its full-scale count gives, computed
    // by the driver's own input scaling and the divider, in the driver's 32-bit arithmetic.
    const CHIP_PROFILE* profile = ChipProfileFromType(static_cast<ULONG>(subject_.chip));
    if (profile == nullptr || channel.regIndex >= profile->VoltageRegCount)
        return std::nullopt;
    DEVICE_EXTENSION extension{};
    extension.ChipType = profile->ChipType;
    ULONG raw = 0xFF;
    ScaleVoltageInput(&extension,
                      static_cast<USHORT>(profile->VoltageRegs[channel.regIndex] & 0xFF), &raw);
    const uint32_t divisor = channel.r2 * 10;
    uint32_t full = channel.r2 != 0 && divisor != 0
                        ? (channel.r1 + channel.r2) * raw * profile->VoltageLsb / divisor
                        : raw * profile->VoltageLsb / 10;
    full += static_cast<uint32_t>(channel.offset) * 100;
    return std::pair<int64_t, int64_t>{0, full};
}

// Limits that can never work: an empty range, a side the channel can never reach (always in
// alarm: an error), a side beyond every reading (never fires: a warning).
void Checker::CheckLimits(Kind kind, const Channel& channel)
{
    const auto& low = channel.lowLimit;
    const auto& high = channel.highLimit;
    if (low && high && *low >= *high) {
        Add(Severity::Error, channel.path + "\\LowLimit",
            ReadingText(kind, *low) + " is not below HighLimit " + ReadingText(kind, *high) +
                "; no reading is in range, so the channel is always in alarm");
        return;
    }
    const auto range = ReadingRange(kind, channel);
    if (!range)
        return;
    const auto [least, most] = *range;
    if (low && *low > most) {
        Add(Severity::Error, channel.path + "\\LowLimit",
            ReadingText(kind, *low) + " is above the highest reading the channel can give (" +
                ReadingText(kind, most) + "); the channel is always in alarm");
        return;
    }
    if (high && *high < least) {
        Add(Severity::Error, channel.path + "\\HighLimit",
            ReadingText(kind, *high) + " is below the lowest reading the channel can give (" +
                ReadingText(kind, least) + "); the channel is always in alarm");
        return;
    }
    if (low && *low <= least)
        Add(Severity::Warning, channel.path + "\\LowLimit",
            ReadingText(kind, *low) + " is not above the lowest reading the channel can give (" +
                ReadingText(kind, least) + "); it never fires");
    if (high && *high >= most)
        Add(Severity::Warning, channel.path + "\\HighLimit",
            ReadingText(kind, *high) + " is not below the highest reading the channel can give (" +
                ReadingText(kind, most) + "); it never fires");
}

// Limits on channels the driver never reads are never judged.
void Checker::CheckUnreadLimits(const std::vector<Channel>& channels, size_t read,
                                const std::string& why)
{
    for (size_t i = read; i < channels.size(); ++i)
        if (channels[i].HasLimits())
            Add(Severity::Warning, channels[i].path,
                "has limits, but " + why + ", so they are never checked");
}

void Checker::CheckTemperatureSources(const std::vector<Channel>& channels)
{
    const size_t read = std::min(channels.size(), kTemperaturesRead);
    bool tjMaxReported = false;
    for (size_t i = 0; i < read; ++i) {
        const Channel& channel = channels[i];
        const bool source = channel.functionIndex == 0 || channel.functionIndex == 1;
        const CHIP_PROFILE* profile = ChipProfileFromType(static_cast<ULONG>(subject_.chip));
        if (i == 1 && source && profile != nullptr && profile->SecondTempFromRegister) {
            Add(Severity::Warning, channel.path + "\\FunctionIndex",
                "is not used for the second temperature channel on the " + ChipName(subject_.chip) +
                    ": the driver "
                    "reads its chip register (RegIndex " +
                    std::to_string(channel.regIndex) + ") instead");
            continue;
        }
        if (channel.functionIndex == 0 && channels[0].tjMax == 0 && !tjMaxReported) {
            Add(Severity::Error, channels[0].path + "\\TjMax",
                "is missing or 0, but '" + channel.name +
                    "' reads the processor's thermal sensor, which needs the first temperature "
                    "channel's TjMax; the channel always reports 0");
            tjMaxReported = true;
        }
    }
}

void Checker::CheckFirmware()
{
    if (!subject_.firmwareGiven)
        return;
    if (!subject_.productName) {
        AddFatal("firmware",
                 std::string("the image holds no product name the driver can find (no family "
                             "prefix ") +
                     kFamilyPrefixText +
                     ", and no \"**** NAME BIOS ... ****\" banner); the device will not start");
        return;
    }
    const std::string& name = *subject_.productName;
    for (const auto& pattern : patterns_) {
        if (!DriverMatches(pattern, name))
            continue;
        auto profile = profiles_.find(pattern);
        Add(Severity::Note, "firmware",
            "product name '" + name + "' selects Product\\" + pattern +
                (profile != profiles_.end() ? " (channels from Product\\" + profile->second + ")"
                                            : ""));
        return;
    }
    AddFatal("firmware",
             "product name '" + name +
                 "' matches no pattern under Product; the device will not start on this board");
}

} // namespace

std::string SeverityName(Severity severity)
{
    switch (severity) {
    case Severity::Error:
        return "error";
    case Severity::Warning:
        return "warning";
    case Severity::Note:
        return "note";
    }
    return "error";
}

std::vector<Finding> CheckConfiguration(const CheckSubject& subject)
{
    return Checker(subject).Run();
}

std::vector<Finding> CheckBoard(const Board& board, std::optional<hw::ChipKind> chip)
{
    sim::ResetAll();
    ReloadDriverImage();
    if (!board.registryText.empty()) {
        try {
            registry::ImportRegText(board.registryText);
        } catch (const registry::RegistryError& error) {
            throw BoardError((board.registrySource.empty() ? "registry" : board.registrySource) +
                             ": " + error.what());
        }
    }
    CheckSubject subject;
    subject.chip = chip.value_or(board.chip);
    if (board.firmware.kind != FirmwareDescription::Kind::None) {
        subject.firmwareGiven = true;
        hw::Current().memory.SetFirmwareImage(FirmwareImage(board));
        subject.productName = SearchProductName();
    }
    return CheckConfiguration(subject);
}

size_t CountFindings(const std::vector<Finding>& findings, Severity severity)
{
    return static_cast<size_t>(
        std::count_if(findings.begin(), findings.end(),
                      [&](const Finding& f) { return f.severity == severity; }));
}

} // namespace sim::machine
