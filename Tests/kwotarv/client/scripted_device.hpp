// A device scripted per selector for the client's tests, and the byte helpers that build its
// replies.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "client/device.hpp"
#include "client/text.hpp"
#include "kwotarv_public.h"

namespace kwotarvtest {

using kwotarv::Device;
using kwotarv::kStatusBufferOverflow;
using kwotarv::kStatusInvalidParameter;
using kwotarv::kStatusSuccess;
using kwotarv::ReadLe32;
using kwotarv::Reply;

inline std::vector<uint8_t> Le32(uint32_t v)
{
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

inline std::vector<uint8_t> Utf16Slot(const std::string& ascii, size_t slot)
{
    std::vector<uint8_t> bytes(slot, 0);
    for (size_t i = 0; i < ascii.size() && 2 * i + 1 < slot; ++i)
        bytes[2 * i] = static_cast<uint8_t>(ascii[i]);
    return bytes;
}

// A device that answers the names and values requests per selector the way the driver's
// protocol says: a too-short buffer gets STATUS_BUFFER_OVERFLOW with the size needed in the
// first four bytes; an empty group STATUS_INVALID_PARAMETER.
class ScriptedDevice : public Device {
  public:
    std::map<uint32_t, std::vector<std::string>> names;
    std::map<uint32_t, std::vector<uint32_t>> values;
    // (low, high) per channel; a group without them answers as a driver without the request.
    std::map<uint32_t, std::vector<std::pair<int32_t, int32_t>>> limits;
    std::map<uint32_t, uint32_t> failing; // code -> status to fail every request with
    std::string description = "Nuvoton NCT6776 Hardware Monitor";
    std::vector<uint8_t> chipInfo;
    struct Call {
        uint32_t code;
        uint32_t selector;
        uint32_t outputLength;
    };
    std::vector<Call> calls;

    Reply Control(uint32_t code, std::span<const uint8_t> input, uint32_t outputLength) override
    {
        const uint32_t selector = input.size() == 4 ? ReadLe32(input, 0) : 0;
        calls.push_back({code, selector, outputLength});
        if (auto f = failing.find(code); f != failing.end())
            return {f->second, 0, {}};
        std::vector<uint8_t> reply;
        switch (code) {
        case IOCTL_HWM_GET_CHIP_DESC: {
            reply = Utf16Slot(description, 256);
            auto list = Utf16Slot("VCORE ", 128);
            reply.insert(reply.end(), list.begin(), list.end());
            break;
        }
        case IOCTL_HWM_GET_CHIP_INFO:
            reply = chipInfo;
            break;
        case IOCTL_HWM_GET_CHANNEL_NAMES:
            if (names[selector].empty())
                return {kStatusInvalidParameter, 0, {}};
            for (const auto& name : names[selector]) {
                auto slot = Utf16Slot(name, 64);
                reply.insert(reply.end(), slot.begin(), slot.end());
            }
            break;
        case IOCTL_HWM_GET_CHANNEL_VALUES:
            if (values[selector].empty())
                return {kStatusInvalidParameter, 0, {}};
            for (uint32_t v : values[selector]) {
                auto bytes = Le32(v);
                reply.insert(reply.end(), bytes.begin(), bytes.end());
            }
            break;
        case IOCTL_HWM_GET_CHANNEL_LIMITS:
            if (limits[selector].empty())
                return {kStatusInvalidParameter, 0, {}};
            for (const auto& [low, high] : limits[selector]) {
                for (int32_t side : {low, high}) {
                    auto bytes = Le32(static_cast<uint32_t>(side));
                    reply.insert(reply.end(), bytes.begin(), bytes.end());
                }
            }
            break;
        default:
            return {kStatusInvalidParameter, 0, {}};
        }
        if (outputLength < reply.size()) {
            if (outputLength < 4)
                return {kStatusBufferOverflow, 0, {}};
            return {kStatusBufferOverflow, 4, Le32(static_cast<uint32_t>(reply.size()))};
        }
        return {kStatusSuccess, reply.size(), reply};
    }
};

} // namespace kwotarvtest
