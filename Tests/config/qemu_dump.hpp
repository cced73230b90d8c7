// Takes a real firmware image: boots SeaBIOS under qemu-system-x86_64 (no disk, so it stops at
// "no bootable device" with its tables in place) and saves the F-segment, 0xF0000-0xFFFFF,
// through the monitor's pmemsave.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace kwo::test {

// The emulator from PATH, or nullopt where it is not installed.
std::optional<std::filesystem::path> FindQemu();

struct QemuDump {
    std::vector<uint8_t> image; // 0x10000 bytes on success
    std::string error;          // why there is no image
};

// Boots the machine with the given extra options (e.g. {"-smbios", "type=1,product=..."}) and
// returns the F-segment once two dumps in a row are equal and hold the SMBIOS entry point, that
// is once the firmware has finished setting up. Gives up after `timeoutSeconds`.
QemuDump DumpFirmwareSegment(const std::filesystem::path& qemu,
                             const std::vector<std::string>& options, int timeoutSeconds = 60);

} // namespace kwo::test
