// A Winbond/Nuvoton Super I/O chip as the port bus sees it: the configuration interface at its
// port pair (0x2E/0x2F or 0x4E/0x4F) and the banked hardware monitor (HWM) at base+5/base+6.
//
// Usage:
//   sim::hw::SuperIoConfig config = sim::hw::SuperIoConfig::For(sim::hw::ChipKind::NCT6776);
//   config.configPort = 0x4E;                        // answer at 0x4E/0x4F instead of 0x2E/0x2F
//   config.hwmBase = 0x0290;                         // HWM index port 0x295, data port 0x296
//   auto& chip = sim::hw::Current().InstallSuperIo(config);   // hardware.hpp
//   chip.SetRegister(0x005D, 0x40);                  // bank 0, register 0x5D
//   chip.SetWord(0x0150, 0x1980);                    // 0x50 <- 0x19, 0x51 <- 0x80 (bank 1)
//   ... driver runs ...
//   EXPECT_EQ(chip.Register(0x005D), 0x41);
//   EXPECT_EQ(chip.ActivationWrites(), std::vector<uint8_t>{0x01});
//   EXPECT_FALSE(chip.SequenceOpen());               // the last access ended in bank 0
//
// Configuration interface: writing 0x87 twice in a row to the index port enters configuration
// mode; 0xAA written to the index port (or bit 1 of global register 0x02) leaves it. In
// configuration mode the index port selects a register and the data port reads or writes it:
// global registers 0x00-0x2F (0x07 logical device select, 0x20 chip ID, 0x21 revision) and, for
// the selected logical device, registers 0x30-0xFF (0x30 activation, 0x60/0x61 base). Outside
// configuration mode the index port only listens for the key and both ports read 0xFF.
//
// Hardware monitor: decoded at base+5 (index) and base+6 (data) while the HWM logical device
// (0x0B) is active and its base is non-zero. Register 0x4E of every bank selects the bank. The
// register file is addressed by bank-qualified 16-bit numbers (bank << 8 | register). On the
// NCT5523D, register 0x16 of bank 0 is the shared low-order register of the 16-bit temperature
// registers 0x10..0x15: bit n carries bit 7 of the low byte of register 0x10 + n (n = the low
// three bits of the register number), the mapping the driver uses.
//
// Protocol checks, reported through sim::faults: an HWM port operation by one thread while
// another thread's access sequence is open (a sequence opens at a thread's first HWM operation
// and closes when that thread writes 0x00 to the bank-select register), and a data-port
// operation whose register was selected by a different thread.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "hardware/port_bus.hpp"
#include "kwotarv_public.h"

namespace sim::hw {

// The chips modelled, each with the CHIP_* code the driver publishes for it.
enum class ChipKind : uint32_t {
    None = CHIP_NONE,
    W83627HF = CHIP_W83627HF,
    W83627DHG = CHIP_W83627DHG,
    NCT6776 = CHIP_NCT6776,
    NCT5523D = CHIP_NCT5523D,
};

std::string_view ChipKindName(ChipKind kind);
// "W83627HF", "W83627DHG", "NCT6776", "NCT5523D" or "none" (case-insensitive).
std::optional<ChipKind> ParseChipKind(std::string_view name);

// Logical device of the hardware monitor and the registers of the configuration interface.
inline constexpr uint8_t kHwmLogicalDevice = 0x0B;
inline constexpr uint8_t kConfigEnterKey = 0x87;
inline constexpr uint8_t kConfigExitKey = 0xAA;
inline constexpr uint8_t kConfigLogicalDevice = 0x07;
inline constexpr uint8_t kConfigChipId = 0x20;
inline constexpr uint8_t kConfigActivation = 0x30;
inline constexpr uint8_t kConfigBaseHigh = 0x60;
inline constexpr uint8_t kConfigBaseLow = 0x61;
inline constexpr uint8_t kHwmBankSelect = 0x4E;

struct SuperIoConfig {
    ChipKind kind = ChipKind::NCT6776;
    uint8_t id = 0xC3;          // configuration register 0x20
    uint8_t revision = 0x00;    // configuration register 0x21
    uint16_t configPort = 0x2E; // index port; the data port is the next one
    uint16_t hwmBase = 0x0290;  // logical device 0x0B registers 0x60/0x61
    uint8_t activation = 0x01;  // logical device 0x0B register 0x30
    // HWM register contents by bank-qualified number; everything else reads 0x00.
    std::map<uint16_t, uint8_t> registers;

    // The usual ID byte and revision of each kind (W83627DHG: 0xA0; 0xB0 is the other stepping).
    static SuperIoConfig For(ChipKind kind);
};

class SuperIo : public PortDevice {
  public:
    explicit SuperIo(const SuperIoConfig& config);

    const SuperIoConfig& Config() const { return config_; }
    ChipKind Kind() const { return config_.kind; }
    uint16_t IndexPort() const { return config_.configPort; }
    uint16_t DataPort() const { return static_cast<uint16_t>(config_.configPort + 1); }
    // The HWM base as the configuration registers hold it now.
    uint16_t HwmBase() const;
    bool HwmActive() const;

    // ---- HWM register file (bank-qualified numbers), for tests; no port traffic -------------
    void SetRegister(uint16_t reg, uint8_t value);
    uint8_t Register(uint16_t reg) const;
    // A 16-bit value as the chip holds it: high byte at reg, low byte at the next register of
    // the same bank; on the NCT5523D registers 0x10..0x15 keep only bit 7 of the low byte, in the
    // shared register 0x16.
    void SetWord(uint16_t reg, uint16_t value);
    uint16_t Word(uint16_t reg) const;
    uint8_t CurrentBank() const;

    // ---- configuration registers, for tests -------------------------------------------------
    void SetConfigRegister(uint8_t logicalDevice, uint8_t reg, uint8_t value);
    uint8_t ConfigRegister(uint8_t logicalDevice, uint8_t reg) const;
    bool InConfigMode() const { return configMode_; }

    // ---- what the driver did ---------------------------------------------------------------
    // The records are read when no other thread is using the ports; the counters at any time.
    // Values written to register 0x30 of the HWM logical device, in order.
    const std::vector<uint8_t>& ActivationWrites() const { return activationWrites_; }
    // Configuration registers written through the data port: {logical device, register, value};
    // global registers are recorded with logical device 0xFF.
    struct ConfigWrite {
        uint8_t logicalDevice;
        uint8_t reg;
        uint8_t value;
        friend bool operator==(const ConfigWrite&, const ConfigWrite&) = default;
    };
    const std::vector<ConfigWrite>& ConfigWrites() const { return configWrites_; }
    // HWM registers written through the data port (bank selections included), in order.
    struct HwmWrite {
        uint16_t reg;
        uint8_t value;
        friend bool operator==(const HwmWrite&, const HwmWrite&) = default;
    };
    const std::vector<HwmWrite>& HwmWrites() const { return hwmWrites_; }
    uint64_t HwmReadCount(uint16_t reg) const;
    uint64_t HwmWriteCount(uint16_t reg) const;
    // Every operation on the HWM ports and on the configuration ports.
    uint64_t HwmOperationCount() const { return hwmOperations_; }
    uint64_t ConfigOperationCount() const { return configOperations_; }
    // True while an HWM access sequence has not returned to bank 0.
    bool SequenceOpen() const { return sequenceOwner_.has_value(); }
    // Protocol violations seen (each one also reported through sim::faults).
    uint64_t ProtocolViolations() const { return violations_; }
    void ClearRecords();
    // Forgets the configuration and HWM write logs, keeping the counters and the activation
    // writes, so that a long-running program's logs do not grow without end.
    void ForgetWrites();

    // PortDevice
    bool Decodes(uint16_t port) const override;
    uint8_t Read(uint16_t port) override;
    void Write(uint16_t port, uint8_t value) override;

  private:
    uint8_t ConfigRead(uint16_t port);
    void ConfigWriteOp(uint16_t port, uint8_t value);
    uint8_t HwmRead(uint16_t port);
    void HwmWriteOp(uint16_t port, uint8_t value);
    void CheckSequence(bool dataPort);
    uint8_t ReadHwmRegister(uint16_t reg) const;
    void WriteHwmRegister(uint16_t reg, uint8_t value);
    bool IsSharedLowRegister(uint16_t reg) const;
    std::array<uint8_t, 256>& LogicalDevice(uint8_t ldn);
    void Violation(const std::string& what);

    SuperIoConfig config_;
    // Configuration interface.
    bool configMode_ = false;
    int keyCount_ = 0;
    uint8_t configIndex_ = 0;
    std::array<uint8_t, 0x30> global_{};
    std::map<uint8_t, std::array<uint8_t, 256>> logicalDevices_;
    // Hardware monitor.
    std::vector<uint8_t> hwm_ = std::vector<uint8_t>(0x10000, 0);
    // NCT5523D: low bytes of the 16-bit registers 0x10..0x15 (only bit 7 is kept).
    std::array<uint8_t, 6> sharedLow_{};
    uint8_t bank_ = 0;
    uint8_t hwmIndex_ = 0;
    std::optional<std::thread::id> sequenceOwner_;
    std::optional<std::thread::id> indexOwner_;
    // Records.
    std::vector<uint8_t> activationWrites_;
    std::vector<ConfigWrite> configWrites_;
    std::vector<HwmWrite> hwmWrites_;
    std::map<uint16_t, uint64_t> hwmReads_;
    std::map<uint16_t, uint64_t> hwmWriteCounts_;
    // Counters may be read while other threads use the ports.
    std::atomic<uint64_t> hwmOperations_ = 0;
    std::atomic<uint64_t> configOperations_ = 0;
    std::atomic<uint64_t> violations_ = 0;
};

} // namespace sim::hw
