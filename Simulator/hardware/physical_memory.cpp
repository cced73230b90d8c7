// Physical memory: the firmware image in the F-segment and the I/O-space mappings of it.
#include "hardware/physical_memory.hpp"
#include "kernel/rtl/text.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "kernel/debug/faults.hpp"

using sim::text::Hex;

namespace sim::hw {

namespace {

constexpr size_t kShortDumpSize = kFirmwareSegmentSize - 1; // a dump that misses the last byte

} // namespace

void PhysicalMemory::LoadFirmwareFile(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read the firmware image " + file.string());
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    if (bytes.size() != kFirmwareSegmentSize && bytes.size() != kShortDumpSize)
        throw std::runtime_error("firmware image " + file.string() + " holds " +
                                 std::to_string(bytes.size()) +
                                 " bytes; a dump of the F-segment holds 65536 (or 65535)");
    SetFirmwareImage(bytes);
}

void PhysicalMemory::SetFirmwareImage(const std::vector<uint8_t>& image)
{
    if (image.size() != kFirmwareSegmentSize && image.size() != kShortDumpSize)
        throw std::runtime_error("a firmware image holds 65536 (or 65535) bytes");
    std::lock_guard lock(mutex_);
    firmware_.assign(kFirmwareSegmentSize, 0);
    std::copy(image.begin(), image.end(), firmware_.begin());
}

void PhysicalMemory::PlaceText(std::string_view text, size_t offset)
{
    std::lock_guard lock(mutex_);
    if (offset > firmware_.size() || text.size() > firmware_.size() - offset)
        throw std::out_of_range("text does not fit into the F-segment at that offset");
    std::copy(text.begin(), text.end(), firmware_.begin() + static_cast<ptrdiff_t>(offset));
}

void PhysicalMemory::SynthesiseFirmware(std::string_view text, size_t offset)
{
    {
        std::lock_guard lock(mutex_);
        firmware_.assign(kFirmwareSegmentSize, 0);
    }
    PlaceText(text, offset);
}

void* PhysicalMemory::Map(uint64_t physicalAddress, size_t length)
{
    std::lock_guard lock(mutex_);
    if (failAll_)
        return nullptr;
    if (failNext_ > 0) {
        --failNext_;
        return nullptr;
    }
    const uint64_t end = kFirmwareSegmentBase + kFirmwareSegmentSize;
    if (length == 0 || physicalAddress < kFirmwareSegmentBase || physicalAddress >= end ||
        length > end - physicalAddress)
        return nullptr;

    auto bytes = std::make_unique<uint8_t[]>(length);
    std::memcpy(bytes.get(), firmware_.data() + (physicalAddress - kFirmwareSegmentBase), length);
    void* address = bytes.get();
    mappings_.emplace(address, Live{physicalAddress, length, std::move(bytes)});
    ++maps_;
    return address;
}

void PhysicalMemory::Unmap(void* address, size_t length)
{
    std::lock_guard lock(mutex_);
    auto entry = mappings_.find(address);
    if (entry == mappings_.end()) {
        sim::faults::Report("MmUnmapIoSpace of an address that is not mapped (never mapped or "
                            "already unmapped)");
        return;
    }
    if (entry->second.length != length)
        sim::faults::Report("MmUnmapIoSpace with length " + Hex(length) + " of a mapping of " +
                            Hex(entry->second.length) + " bytes at physical " +
                            Hex(entry->second.physicalAddress));
    mappings_.erase(entry);
    ++unmaps_;
}

void PhysicalMemory::FailNextMaps(uint32_t count)
{
    std::lock_guard lock(mutex_);
    failNext_ = count;
}

void PhysicalMemory::FailAllMaps(bool fail)
{
    std::lock_guard lock(mutex_);
    failAll_ = fail;
}

std::vector<PhysicalMemory::Mapping> PhysicalMemory::OutstandingMappings() const
{
    std::lock_guard lock(mutex_);
    std::vector<Mapping> result;
    for (const auto& [address, live] : mappings_)
        result.push_back({live.physicalAddress, live.length, address});
    return result;
}

uint64_t PhysicalMemory::MapCount() const
{
    std::lock_guard lock(mutex_);
    return maps_;
}

uint64_t PhysicalMemory::UnmapCount() const
{
    std::lock_guard lock(mutex_);
    return unmaps_;
}

void PhysicalMemory::ReportOutstandingMappings() const
{
    for (const auto& mapping : OutstandingMappings())
        sim::faults::Report("I/O space mapping of " + Hex(mapping.length) + " bytes at physical " +
                            Hex(mapping.physicalAddress) + " was never unmapped");
}

void PhysicalMemory::Reset()
{
    std::lock_guard lock(mutex_);
    firmware_.assign(kFirmwareSegmentSize, 0);
    mappings_.clear();
    failNext_ = 0;
    failAll_ = false;
    maps_ = 0;
    unmaps_ = 0;
}

} // namespace sim::hw
