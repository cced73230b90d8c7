// A board description: which Super I/O chip the board carries and what its hardware-monitor
// registers hold, the processor's thermal sensor, the northbridge temperature register, the
// firmware image and the registry configuration an integrator would import.
//
// On disk a board is a directory:
//   board.json     the hardware (keys below)
//   registry.reg   the board configuration in regedit format (optional: without it the
//                  registry holds no Product key and the device does not start)
//   a firmware image named by board.json (optional)
//
// board.json keys (numbers are JSON numbers or strings such as "0x2E"):
//   "chip"          "W83627HF" | "W83627DHG" | "NCT6776" | "NCT5523D" | "none"   (required)
//   "chip_id"       the ID byte the chip answers with, when not the chip's usual one
//   "config_port"   "0x2E" (default) or "0x4E"
//   "hwm_base"      hardware-monitor base port (default "0x290")
//   "registers"     HWM register contents by bank-qualified number: {"0x0020": "0xCC"}
//   "cpu"           {"thermal_sensor": true|false (default true),
//                    "thermal_status": IA32_THERM_STATUS (default 0)}
//   "northbridge"   the 32-bit value at bus 0, device 0x18, function 3, offset 0xA4; the
//                   function is absent when the key is
//   "firmware"      a file name in the board directory (a 64 KiB F-segment dump), or
//                   {"text": "QIB-1234 BIOS V1.0"} for an image that holds that text
//   "timeline"      registers that change while the machine runs:
//                   {"repeat": 60, "steps": [{"at": 10, "registers": {"0x0020": "0x80"}}]}
//                   each step is written at its "at" seconds after power-on (more than 0);
//                   with "repeat" the steps come again every "repeat" seconds ("at" at most
//                   "repeat"); without it each step is written once
//   "comment"       free text
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "hardware/super_io.hpp"

namespace sim::machine {

// A board description that cannot be used; the message names the file and the key.
class BoardError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

struct CpuDescription {
    bool thermalSensor = true;
    uint64_t thermalStatus = 0;
};

struct FirmwareDescription {
    enum class Kind { None, File, Text };
    Kind kind = Kind::None;
    std::filesystem::path file; // Kind::File
    std::string text;           // Kind::Text
};

// HWM register contents by bank-qualified register number.
using RegisterMap = std::map<uint16_t, uint8_t>;

struct TimelineStep {
    double at = 0; // seconds after power-on
    RegisterMap registers;
};

struct Timeline {
    std::vector<TimelineStep> steps; // in the order of "at"
    double repeat = 0;               // period in seconds; 0 plays the steps once
};

struct Board {
    std::string name;                // the directory's name, or the built-in board's
    std::filesystem::path directory; // empty for a built-in board
    std::string comment;
    hw::ChipKind chip = hw::ChipKind::None;
    std::optional<uint8_t> chipId;
    uint16_t configPort = 0x2E;
    uint16_t hwmBase = 0x290;
    RegisterMap registers;
    Timeline timeline;
    CpuDescription cpu;
    std::optional<uint32_t> northbridge;
    FirmwareDescription firmware;
    std::string registryText;   // a regedit file's bytes; empty when there is none
    std::string registrySource; // where they came from, for messages
};

// Where a synthesised firmware image places its text (offset from 0xF0000).
inline constexpr size_t kSynthesisedTextOffset = 0xE000;

// Parses board.json text. `source` names it in messages; a firmware file name is resolved
// against `directory`.
Board ParseBoard(std::string_view json, const std::string& source,
                 const std::filesystem::path& directory);
// Parses register changes in the form of board.json's "registers": {"0x0020": "0x80", ...}.
RegisterMap ParseRegisterChanges(std::string_view json, const std::string& source);
// Reads a board directory: board.json and, when present, registry.reg.
Board LoadBoard(const std::filesystem::path& directory);

// Replace the board's firmware image or registry configuration (the --firmware and
// --registry options).
void UseFirmwareFile(Board& board, const std::filesystem::path& file);
void UseRegistryFile(Board& board, const std::filesystem::path& file);

// The 64 KiB F-segment the board's firmware description gives (all zero without firmware).
std::vector<uint8_t> FirmwareImage(const Board& board);

// The ID byte the board's chip answers with (its usual one unless chip_id overrides it).
uint8_t ChipIdOf(const Board& board);

// Reads a whole file; BoardError names the file when it cannot be read.
std::string ReadFile(const std::filesystem::path& file, const std::string& what);

} // namespace sim::machine
