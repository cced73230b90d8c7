// A small reader of PE images, 32-bit (PE32) and 64-bit (PE32+), enough to check the driver
// image, the Windows tool and the library: headers, sections, imports, exports, resource types,
// the x64 exception directory and the checksum. Independent of the post-link script, so the two
// check each other.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace pe {

inline constexpr uint16_t kMachineI386 = 0x014C;
inline constexpr uint16_t kMachineAmd64 = 0x8664;
inline constexpr uint16_t kMagicPe32 = 0x010B;
inline constexpr uint16_t kMagicPe32Plus = 0x020B;
inline constexpr uint16_t kSubsystemNative = 1;
inline constexpr uint16_t kSubsystemConsole = 3;
inline constexpr uint16_t kDllHighEntropyVa = 0x0020;
inline constexpr uint16_t kDllDynamicBase = 0x0040;
inline constexpr uint16_t kDllForceIntegrity = 0x0080;
inline constexpr uint16_t kDllNxCompat = 0x0100;
inline constexpr uint32_t kScnCode = 0x00000020;
inline constexpr uint32_t kScnDiscardable = 0x02000000;
inline constexpr uint32_t kScnExecute = 0x20000000;
inline constexpr uint32_t kScnRead = 0x40000000;
inline constexpr uint32_t kScnWrite = 0x80000000;

struct Section {
    std::string name;
    uint32_t virtualAddress = 0;
    uint32_t virtualSize = 0;
    uint32_t rawOffset = 0;
    uint32_t rawSize = 0;
    uint32_t characteristics = 0;
    // Offset of the characteristics field in the file, for tests that alter a copy.
    size_t characteristicsOffset = 0;

    bool Contains(uint32_t rva) const
    {
        return rva >= virtualAddress && rva < virtualAddress + std::max(virtualSize, rawSize);
    }
};

struct ImportedModule {
    std::string dll;
    std::vector<std::string> names; // routines imported by name
    size_t ordinals = 0;            // routines imported by ordinal
};

// One entry of the x64 exception directory (.pdata): a function's code range and the RVA of
// its unwind information.
struct RuntimeFunction {
    uint32_t begin = 0;
    uint32_t end = 0;
    uint32_t unwindInfo = 0;
};

struct Image {
    std::vector<uint8_t> bytes;
    uint16_t machine = 0;
    uint16_t fileCharacteristics = 0;
    uint16_t magic = 0;
    uint32_t entryPoint = 0;
    uint64_t imageBase = 0;
    uint32_t sectionAlignment = 0;
    uint16_t subsystem = 0;
    uint16_t majorSubsystemVersion = 0;
    uint16_t minorSubsystemVersion = 0;
    uint16_t dllCharacteristics = 0;
    uint32_t checksum = 0;
    size_t checksumOffset = 0;
    uint32_t relocationsSize = 0;
    uint32_t exceptionRva = 0;
    uint32_t exceptionSize = 0;
    std::vector<Section> sections;
    std::vector<ImportedModule> imports;
    std::vector<std::string> exports; // names the export directory lists, in its order
    std::vector<uint32_t>
        resourceTypes; // the numbered types of the resource directory (16: version)
    std::vector<RuntimeFunction> runtimeFunctions;

    const Section* FindSection(const std::string& name) const;
    const Section* SectionOf(uint32_t rva) const;
    // The PE checksum of the file as the loader computes it (the stored field skipped).
    uint32_t ComputeChecksum() const;
    // The byte at an RVA, for reading what a directory points at.
    std::optional<uint8_t> ByteAt(uint32_t rva) const;
};

// Reads and parses an image; throws std::runtime_error on a malformed file.
Image Read(const std::filesystem::path& file);
Image Parse(std::vector<uint8_t> bytes);

} // namespace pe
