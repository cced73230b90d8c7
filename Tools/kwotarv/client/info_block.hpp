// Decoding of the info block that IOCTL_HWM_GET_CHIP_INFO returns.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kwotarv {

struct InfoGroup {
    uint16_t kind = 0; // 1 voltages, 2 first temperature, 3 second temperature
    // Kind 1: the voltage names (the list split at its spaces); kinds 2 and 3: the channel name.
    std::vector<std::string> names;
    uint32_t attribute = 0;
    uint32_t attribute2 = 0;
};

struct InfoBlock {
    uint32_t size = 0;
    std::string description;
    uint32_t groupCount = 0;
    std::vector<InfoGroup> groups;
    // Departures from the block's layout (sizes that disagree, bytes that should be zero).
    std::vector<std::string> problems;
};

InfoBlock DecodeInfoBlock(std::span<const uint8_t> bytes);

// The voltage list text ("VCORE +12V ") split into names.
std::vector<std::string> SplitVoltageList(const std::string& list);

} // namespace kwotarv
