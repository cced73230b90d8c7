// The channel configuration as the registry gives it: Product patterns with Profile
// redirections (loops included), kind keys known and unknown, many channels, channel keys with
// deep subkeys, and values of every type and length (wrong types, texts without terminator,
// data longer than the driver's value buffer). The generated file is always valid regedit text;
// the driver then loads and starts (or refuses to), answers requests for every kind, and is
// removed and unloaded without a leak or a simulator fault.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "public/kwotarv_public.h"

namespace {

const std::string kProductKey =
    "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KwoTarv\\Product";

// The demo board's product name is QIB-1234.
const char* const kPatterns[] = {"QIB-1234", "QIB-*",     "*",  "Q?B-12*", "QIB-12??",
                                 "Common",   "QIB-1234*", "?*", "RZV-*"};
const char* const kKinds[] = {"Voltage", "Temperature", "Fan", "Current", "Power", "Other"};
const char* const kValueNames[] = {
    "FriendlyName", "RegIndex",      "AltRegIndex",     "R1",     "R2", "Resolution", "TjMax",
    "Offset",       "FunctionIndex", "PreferenceOrder", "Profile"};
const uint32_t kTypes[] = {1, 2, 3, 4, 7, 11, 0, 5};

// A key name: printable ASCII other than the separator, 1 to 255 characters.
std::string KeyName(FuzzedDataProvider& provider)
{
    std::string name = provider.ConsumeRandomLengthString(255);
    for (char& c : name)
        if (c < 0x20 || c > 0x7E || c == '\\')
            c = '_';
    return name.empty() ? "0" : name;
}

std::string HexValue(const std::string& name, uint32_t type, const std::vector<uint8_t>& data)
{
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "\"=hex(%x):", type);
    std::string line = "\"";
    for (char c : name) {
        if (c == '"' || c == '\\')
            line += '\\';
        line += c;
    }
    line += prefix;
    for (size_t i = 0; i < data.size(); ++i) {
        char byte[4];
        std::snprintf(byte, sizeof byte, "%s%02x", i == 0 ? "" : ",", data[i]);
        line += byte;
    }
    return line + "\r\n";
}

std::vector<uint8_t> Utf16(const std::string& text, bool terminated)
{
    std::vector<uint8_t> bytes;
    for (char c : text) {
        bytes.push_back(static_cast<uint8_t>(c));
        bytes.push_back(0);
    }
    if (terminated)
        bytes.insert(bytes.end(), {0, 0});
    return bytes;
}

// One value: mostly of the type the driver expects, sometimes not; data of any length.
std::string Value(FuzzedDataProvider& provider, const std::string& name)
{
    const bool text = name == "FriendlyName" || name == "Profile";
    uint32_t type = text ? 1 : 4;
    if (provider.ConsumeIntegralInRange<int>(0, 3) == 0)
        type = provider.PickValueInArray(kTypes);
    std::vector<uint8_t> data;
    switch (provider.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: { // a DWORD
        const auto value = provider.ConsumeIntegral<uint32_t>();
        for (int shift = 0; shift < 32; shift += 8)
            data.push_back(static_cast<uint8_t>(value >> shift));
        break;
    }
    case 1: // a small DWORD, as configurations hold
        data = {provider.ConsumeIntegralInRange<uint8_t>(0, 12), 0, 0, 0};
        break;
    case 2: // a text, terminated or not, possibly the name of another pattern
        data = Utf16(provider.ConsumeBool() ? provider.PickValueInArray(kPatterns)
                                            : provider.ConsumeRandomLengthString(300),
                     provider.ConsumeBool());
        break;
    default: // raw bytes of any length, beyond the driver's value buffer too
        data = provider.ConsumeBytes<uint8_t>(provider.ConsumeIntegralInRange<size_t>(0, 600));
        break;
    }
    return HexValue(name, type, data);
}

std::string Section(const std::string& key)
{
    return "\r\n[" + key + "]\r\n";
}

std::string Configuration(FuzzedDataProvider& provider)
{
    std::string file = "Windows Registry Editor Version 5.00\r\n";
    const int patterns = provider.ConsumeIntegralInRange<int>(1, 4);
    for (int p = 0; p < patterns && provider.remaining_bytes() > 0; ++p) {
        const std::string pattern = provider.ConsumeIntegralInRange<int>(0, 7) != 0
                                        ? provider.PickValueInArray(kPatterns)
                                        : KeyName(provider);
        const std::string patternKey = kProductKey + "\\" + pattern;
        file += Section(patternKey);
        if (provider.ConsumeBool())
            file += Value(provider, "Profile");
        const int kinds = provider.ConsumeIntegralInRange<int>(0, 4);
        for (int k = 0; k < kinds && provider.remaining_bytes() > 0; ++k) {
            const std::string kind =
                provider.ConsumeBool() ? provider.PickValueInArray(kKinds) : KeyName(provider);
            const int channels = provider.ConsumeBool()
                                     ? provider.ConsumeIntegralInRange<int>(0, 4)
                                     : provider.ConsumeIntegralInRange<int>(0, 80);
            for (int c = 0; c < channels && provider.remaining_bytes() > 0; ++c) {
                std::string channelKey =
                    patternKey + "\\" + kind + "\\" +
                    (provider.ConsumeIntegralInRange<int>(0, 7) != 0 ? std::to_string(c)
                                                                     : KeyName(provider));
                file += Section(channelKey);
                const int values = provider.ConsumeIntegralInRange<int>(0, 6);
                for (int v = 0; v < values; ++v)
                    file += Value(provider, provider.ConsumeIntegralInRange<int>(0, 9) != 0
                                                ? provider.PickValueInArray(kValueNames)
                                                : KeyName(provider));
                // Keys below a channel are not the driver's, however deep they go.
                const int depth = provider.ConsumeIntegralInRange<int>(0, 3) == 0
                                      ? provider.ConsumeIntegralInRange<int>(1, 64)
                                      : 0;
                for (int d = 0; d < depth; ++d)
                    channelKey += "\\d";
                if (depth != 0)
                    file += Section(channelKey) + Value(provider, "RegIndex");
            }
        }
    }
    return file;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider provider(data, size);
    const std::string configuration = Configuration(provider);
    sim::machine::Machine machine(kwofuzz::DemoBoard(configuration));
    sim::machine::StartOutcome start;
    try {
        start = machine.PowerOn();
    } catch (const sim::machine::BoardError& error) {
        kwofuzz::Finding(std::string("the generated configuration does not import: ") +
                         error.what() + "\n" + configuration);
    }
    if (start.started) {
        for (uint32_t code : {IOCTL_HWM_GET_CHIP_INFO, IOCTL_HWM_GET_TEMPERATURES,
                              IOCTL_HWM_GET_VOLTAGES, IOCTL_HWM_GET_FANS, IOCTL_HWM_GET_CHIP_DESC})
            machine.DeviceIoControl(code, {}, 4096);
        for (uint32_t selector = 0; selector < 6; ++selector) {
            const uint8_t input[4] = {static_cast<uint8_t>(selector), 0, 0, 0};
            machine.DeviceIoControl(IOCTL_HWM_GET_CHANNEL_NAMES, input, 4096);
            machine.DeviceIoControl(IOCTL_HWM_GET_CHANNEL_VALUES, input, 4096);
        }
    }
    kwofuzz::PowerOffClean(machine, "a fuzzed configuration");
    return 0;
}
