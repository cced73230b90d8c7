// Names of the driver's protocol for messages and reports: statuses, control codes, channel
// selectors and the info block's group kinds.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kwotarv {

// Known names of statuses and control codes ("STATUS_BUFFER_OVERFLOW",
// "IOCTL_HWM_GET_CHIP_INFO"); empty when unknown.
std::string StatusName(uint32_t status);
std::string ControlCodeName(uint32_t code);
// A control code given as a number or as one of the driver's code names.
std::optional<uint32_t> ParseControlCode(std::string_view text);

// Names of the selectors for messages ("voltages", "temperatures", "fans").
std::string SelectorName(uint32_t selector);
// Names of the info block's group kinds ("voltages", "first temperature", "second
// temperature"; "kind N" for any other).
std::string GroupKindName(uint16_t kind);

} // namespace kwotarv
