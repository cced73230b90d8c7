// PCI configuration space of the simulated machine, reached by the driver through
// HalGetBusDataByOffset(PCIConfiguration, bus, slot, buffer, offset, length).
//
// Usage:
//   auto& pci = sim::hw::Current().pci;          // hardware.hpp
//   pci.AddFunction(0, 0x18, 3, 0x1022, 0x1203); // bus 0, device 0x18, function 3
//   pci.SetConfigDword(0, 0x18, 3, 0xA4, 0x2D800000);
//   EXPECT_EQ(pci.ReadCount(0, 0x18, 3), 1u);
//
// What HalGetBusDataByOffset returns, as the HAL does it:
//   - a bus data type other than PCIConfiguration, or a bus that does not exist: 0, nothing
//     transferred;
//   - an empty slot (no function at device/function): offset 0 with a length of at least 2
//     gives the invalid vendor ID 0xFFFF in the first two bytes and returns 2; any other offset
//     returns 0 and transfers nothing;
//   - a present function: the bytes from offset up to the end of the 256-byte configuration
//     space, at most length; the count is returned (0 for an offset past the end).
// The slot number is the PCI_SLOT_NUMBER layout: device in bits 0-4, function in bits 5-7.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <tuple>

namespace sim::hw {

inline constexpr uint16_t kPciInvalidVendorId = 0xFFFF;
inline constexpr uint32_t kPciConfigSpaceSize = 256;

class PciBus {
  public:
    PciBus() = default;
    PciBus(const PciBus&) = delete;
    PciBus& operator=(const PciBus&) = delete;

    // Buses 0..count-1 exist (default 1: only bus 0).
    void SetBusCount(uint32_t count);
    // A function with the given IDs and an otherwise zero configuration space.
    void AddFunction(uint32_t bus, uint32_t device, uint32_t function, uint16_t vendorId,
                     uint16_t deviceId);
    void RemoveFunction(uint32_t bus, uint32_t device, uint32_t function);
    bool HasFunction(uint32_t bus, uint32_t device, uint32_t function) const;
    // Writes into a present function's configuration space (little-endian).
    void SetConfigByte(uint32_t bus, uint32_t device, uint32_t function, uint32_t offset,
                       uint8_t value);
    void SetConfigDword(uint32_t bus, uint32_t device, uint32_t function, uint32_t offset,
                        uint32_t value);
    uint32_t ConfigDword(uint32_t bus, uint32_t device, uint32_t function, uint32_t offset) const;

    // HalGetBusDataByOffset for PCIConfiguration, with the rules above.
    uint32_t Read(uint32_t bus, uint32_t slotNumber, void* buffer, uint32_t offset,
                  uint32_t length);
    // Reads attempted at a device/function (whatever the result).
    uint64_t ReadCount(uint32_t bus, uint32_t device, uint32_t function) const;
    uint64_t TotalReadCount() const;

    // Bus 0 only, no functions, counters zero.
    void Reset();

  private:
    using Address = std::tuple<uint32_t, uint32_t, uint32_t>;
    std::array<uint8_t, kPciConfigSpaceSize>& Space(uint32_t bus, uint32_t device,
                                                    uint32_t function);

    mutable std::mutex mutex_;
    uint32_t busCount_ = 1;
    std::map<Address, std::array<uint8_t, kPciConfigSpaceSize>> functions_;
    std::map<Address, uint64_t> reads_;
    uint64_t totalReads_ = 0;
};

} // namespace sim::hw
