// The protocol's names.
#include "client/protocol_names.hpp"

#include <array>

#include "client/text.hpp"
#include "kwotarv_public.h"

namespace kwotarv {

namespace {

struct Named {
    uint32_t value;
    const char* name;
};

constexpr std::array kStatusNames{
    Named{0x00000000, "STATUS_SUCCESS"},
    Named{0x00000103, "STATUS_PENDING"},
    Named{0x00000117, "STATUS_BUFFER_ALL_ZEROS"},
    Named{0x80000005, "STATUS_BUFFER_OVERFLOW"},
    Named{0xC0000001, "STATUS_UNSUCCESSFUL"},
    Named{0xC0000008, "STATUS_INVALID_HANDLE"},
    Named{0xC000000D, "STATUS_INVALID_PARAMETER"},
    Named{0xC000000E, "STATUS_NO_SUCH_DEVICE"},
    Named{0xC0000010, "STATUS_INVALID_DEVICE_REQUEST"},
    Named{0xC0000022, "STATUS_ACCESS_DENIED"},
    Named{0xC0000023, "STATUS_BUFFER_TOO_SMALL"},
    Named{0xC0000034, "STATUS_OBJECT_NAME_NOT_FOUND"},
    Named{0xC0000056, "STATUS_DELETE_PENDING"},
    Named{0xC000009A, "STATUS_INSUFFICIENT_RESOURCES"},
    Named{0xC00000BB, "STATUS_NOT_SUPPORTED"},
    Named{0xC000014C, "STATUS_REGISTRY_CORRUPT"},
    Named{0xC0000184, "STATUS_INVALID_DEVICE_STATE"},
    Named{0xC00002B6, "STATUS_DEVICE_REMOVED"},
};

constexpr std::array kCodeNames{
    Named{IOCTL_HWM_GET_TEMPERATURES, "IOCTL_HWM_GET_TEMPERATURES"},
    Named{IOCTL_HWM_GET_VOLTAGES, "IOCTL_HWM_GET_VOLTAGES"},
    Named{IOCTL_HWM_GET_CHIP_DESC, "IOCTL_HWM_GET_CHIP_DESC"},
    Named{IOCTL_HWM_GET_CHIP_INFO, "IOCTL_HWM_GET_CHIP_INFO"},
    Named{IOCTL_HWM_GET_FANS, "IOCTL_HWM_GET_FANS"},
    Named{IOCTL_HWM_GET_CHANNEL_NAMES, "IOCTL_HWM_GET_CHANNEL_NAMES"},
    Named{IOCTL_HWM_GET_CHANNEL_VALUES, "IOCTL_HWM_GET_CHANNEL_VALUES"},
    Named{IOCTL_HWM_GET_CHANNEL_LIMITS, "IOCTL_HWM_GET_CHANNEL_LIMITS"},
};

bool EqualsIgnoreCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

} // namespace

std::string StatusName(uint32_t status)
{
    for (const auto& entry : kStatusNames)
        if (entry.value == status)
            return entry.name;
    return {};
}

std::string ControlCodeName(uint32_t code)
{
    for (const auto& entry : kCodeNames)
        if (entry.value == code)
            return entry.name;
    return {};
}

std::optional<uint32_t> ParseControlCode(std::string_view text)
{
    for (const auto& entry : kCodeNames)
        if (EqualsIgnoreCase(text, entry.name))
            return entry.value;
    return ParseNumber(text);
}

std::string SelectorName(uint32_t selector)
{
    switch (selector) {
    case HWM_SELECT_VOLTAGES:
        return "voltages";
    case HWM_SELECT_TEMPERATURE1:
        return "first temperature";
    case HWM_SELECT_TEMPERATURE2:
        return "second temperature";
    case HWM_SELECT_TEMPERATURES:
        return "temperatures";
    case HWM_SELECT_FANS:
        return "fans";
    default:
        return "selector " + std::to_string(selector);
    }
}

std::string GroupKindName(uint16_t kind)
{
    // The kinds are the selectors of the groups they describe.
    if (kind >= HWM_SELECT_VOLTAGES && kind <= HWM_SELECT_TEMPERATURE2)
        return SelectorName(kind);
    return "kind " + std::to_string(kind);
}

} // namespace kwotarv
