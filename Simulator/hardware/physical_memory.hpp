// Physical memory of the simulated machine as MmMapIoSpace reaches it. The one range it knows is
// the F-segment, 0xF0000-0xFFFFF, which holds the firmware image.
//
// Usage:
//   auto& memory = sim::hw::Current().memory;    // hardware.hpp
//   memory.LoadFirmwareFile("Boards/x/firmware.bin");        // 64 KiB dump (or 0xFFFF bytes)
//   memory.SynthesiseFirmware("QIB-1234 BIOS V1.0", 0x1234); // zero image, text at 0xF1234
//   memory.FailNextMaps(1);                      // the next MmMapIoSpace returns NULL
//   EXPECT_TRUE(memory.OutstandingMappings().empty());
//
// Mappings: MmMapIoSpace of a range inside the F-segment returns a fresh buffer of exactly the
// requested length holding a copy of the image bytes, so reading past the mapped length is
// caught by the address sanitizer. A range that is not wholly inside a known range, a length of
// 0, or an injected failure returns NULL. MmUnmapIoSpace of an address that is not mapped (never
// mapped, or unmapped already) or with a length other than the mapped one is reported through
// sim::faults; with a wrong length the mapping is still released.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

namespace sim::hw {

inline constexpr uint64_t kFirmwareSegmentBase = 0xF0000;
inline constexpr size_t kFirmwareSegmentSize = 0x10000;

class PhysicalMemory {
  public:
    PhysicalMemory() { Reset(); }
    PhysicalMemory(const PhysicalMemory&) = delete;
    PhysicalMemory& operator=(const PhysicalMemory&) = delete;

    // ---- the firmware image ----------------------------------------------------------------
    // A dump of 0x10000 bytes, or of 0xFFFF bytes (the last byte then reads 0). Any other size,
    // or an unreadable file, throws std::runtime_error and leaves the image unchanged.
    void LoadFirmwareFile(const std::filesystem::path& file);
    void SetFirmwareImage(const std::vector<uint8_t>& image);
    // An all-zero image with the given bytes placed at offset (from 0xF0000); text that would
    // run past the end of the segment throws std::out_of_range.
    void SynthesiseFirmware(std::string_view text, size_t offset);
    // Places bytes into the current image without clearing it (same bounds rule).
    void PlaceText(std::string_view text, size_t offset);
    const std::vector<uint8_t>& FirmwareImage() const { return firmware_; }

    // ---- MmMapIoSpace / MmUnmapIoSpace -----------------------------------------------------
    void* Map(uint64_t physicalAddress, size_t length);
    void Unmap(void* address, size_t length);

    // Fault injection: fail the next n mappings, or every mapping while set.
    void FailNextMaps(uint32_t count);
    void FailAllMaps(bool fail);

    struct Mapping {
        uint64_t physicalAddress;
        size_t length;
        const void* address;
    };
    std::vector<Mapping> OutstandingMappings() const;
    uint64_t MapCount() const;   // successful mappings since reset
    uint64_t UnmapCount() const; // successful unmappings since reset
    // Reports every outstanding mapping through sim::faults (for end-of-scenario checks).
    void ReportOutstandingMappings() const;

    // Zero F-segment, no mappings, no injected failures, counters zero.
    void Reset();

  private:
    struct Live {
        uint64_t physicalAddress;
        size_t length;
        std::unique_ptr<uint8_t[]> bytes;
    };

    mutable std::mutex mutex_;
    std::vector<uint8_t> firmware_;
    std::map<const void*, Live> mappings_;
    uint32_t failNext_ = 0;
    bool failAll_ = false;
    uint64_t maps_ = 0;
    uint64_t unmaps_ = 0;
};

} // namespace sim::hw
