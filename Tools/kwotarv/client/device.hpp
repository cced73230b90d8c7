// The tool's one road to the driver: a buffered device-control request and what came back.
// The Windows back end sends it to the real device, the Linux back end to the simulated machine.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace kwotarv {

struct Reply {
    uint32_t status = 0;         // the request's NTSTATUS, as an unsigned value
    uint64_t information = 0;    // IoStatus.Information: the bytes the driver reported
    std::vector<uint8_t> output; // the bytes that reached the caller's output buffer
};

class Device {
  public:
    virtual ~Device() = default;
    virtual Reply Control(uint32_t code, std::span<const uint8_t> input, uint32_t outputLength) = 0;
};

// NTSTATUS severity classes.
inline bool IsErrorStatus(uint32_t status)
{
    return (status >> 30) == 3;
}
inline bool IsSuccessStatus(uint32_t status)
{
    return static_cast<int32_t>(status) >= 0;
}

// The statuses the driver's replies use.
inline constexpr uint32_t kStatusSuccess = 0x00000000;
inline constexpr uint32_t kStatusBufferAllZeros = 0x00000117;
inline constexpr uint32_t kStatusBufferOverflow = 0x80000005;
inline constexpr uint32_t kStatusUnsuccessful = 0xC0000001;
inline constexpr uint32_t kStatusInvalidParameter = 0xC000000D;

} // namespace kwotarv
