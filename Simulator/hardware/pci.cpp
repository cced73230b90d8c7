// PCI configuration space and the HAL's rules for reading it.
#include "hardware/pci.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace sim::hw {

namespace {

constexpr uint32_t kMaxDevice = 31;
constexpr uint32_t kMaxFunction = 7;

void CheckAddress(uint32_t device, uint32_t function)
{
    if (device > kMaxDevice || function > kMaxFunction)
        throw std::out_of_range("PCI device or function number out of range");
}

} // namespace

void PciBus::SetBusCount(uint32_t count)
{
    std::lock_guard lock(mutex_);
    busCount_ = count;
}

void PciBus::AddFunction(uint32_t bus, uint32_t device, uint32_t function, uint16_t vendorId,
                         uint16_t deviceId)
{
    CheckAddress(device, function);
    std::lock_guard lock(mutex_);
    auto& space = functions_[{bus, device, function}];
    space.fill(0);
    space[0] = static_cast<uint8_t>(vendorId);
    space[1] = static_cast<uint8_t>(vendorId >> 8);
    space[2] = static_cast<uint8_t>(deviceId);
    space[3] = static_cast<uint8_t>(deviceId >> 8);
    busCount_ = std::max(busCount_, bus + 1);
}

void PciBus::RemoveFunction(uint32_t bus, uint32_t device, uint32_t function)
{
    std::lock_guard lock(mutex_);
    functions_.erase({bus, device, function});
}

bool PciBus::HasFunction(uint32_t bus, uint32_t device, uint32_t function) const
{
    std::lock_guard lock(mutex_);
    return functions_.contains({bus, device, function});
}

std::array<uint8_t, kPciConfigSpaceSize>& PciBus::Space(uint32_t bus, uint32_t device,
                                                        uint32_t function)
{
    auto entry = functions_.find({bus, device, function});
    if (entry == functions_.end())
        throw std::logic_error("PCI function not present: add it before setting its registers");
    return entry->second;
}

void PciBus::SetConfigByte(uint32_t bus, uint32_t device, uint32_t function, uint32_t offset,
                           uint8_t value)
{
    std::lock_guard lock(mutex_);
    if (offset >= kPciConfigSpaceSize)
        throw std::out_of_range("PCI configuration offset out of range");
    Space(bus, device, function)[offset] = value;
}

void PciBus::SetConfigDword(uint32_t bus, uint32_t device, uint32_t function, uint32_t offset,
                            uint32_t value)
{
    std::lock_guard lock(mutex_);
    if (offset > kPciConfigSpaceSize - 4)
        throw std::out_of_range("PCI configuration offset out of range");
    auto& space = Space(bus, device, function);
    for (unsigned i = 0; i < 4; ++i)
        space[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t PciBus::ConfigDword(uint32_t bus, uint32_t device, uint32_t function,
                             uint32_t offset) const
{
    std::lock_guard lock(mutex_);
    auto entry = functions_.find({bus, device, function});
    if (entry == functions_.end() || offset > kPciConfigSpaceSize - 4)
        return 0xFFFFFFFF;
    uint32_t value = 0;
    for (unsigned i = 0; i < 4; ++i)
        value |= static_cast<uint32_t>(entry->second[offset + i]) << (8 * i);
    return value;
}

uint32_t PciBus::Read(uint32_t bus, uint32_t slotNumber, void* buffer, uint32_t offset,
                      uint32_t length)
{
    std::lock_guard lock(mutex_);
    // PCI_SLOT_NUMBER: DeviceNumber in bits 0-4, FunctionNumber in bits 5-7.
    const uint32_t device = slotNumber & 0x1F;
    const uint32_t function = (slotNumber >> 5) & 0x07;
    ++totalReads_;
    ++reads_[{bus, device, function}];

    if (bus >= busCount_)
        return 0;
    auto entry = functions_.find({bus, device, function});
    if (entry == functions_.end()) {
        if (offset != 0 || length < sizeof(uint16_t))
            return 0;
        const uint16_t invalid = kPciInvalidVendorId;
        std::memcpy(buffer, &invalid, sizeof invalid);
        return sizeof invalid;
    }
    if (offset >= kPciConfigSpaceSize)
        return 0;
    const uint32_t count = std::min(length, kPciConfigSpaceSize - offset);
    std::memcpy(buffer, entry->second.data() + offset, count);
    return count;
}

uint64_t PciBus::ReadCount(uint32_t bus, uint32_t device, uint32_t function) const
{
    std::lock_guard lock(mutex_);
    auto entry = reads_.find({bus, device, function});
    return entry == reads_.end() ? 0 : entry->second;
}

uint64_t PciBus::TotalReadCount() const
{
    std::lock_guard lock(mutex_);
    return totalReads_;
}

void PciBus::Reset()
{
    std::lock_guard lock(mutex_);
    busCount_ = 1;
    functions_.clear();
    reads_.clear();
    totalReads_ = 0;
}

} // namespace sim::hw
