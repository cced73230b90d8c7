// The Super I/O chip model: configuration interface, banked hardware monitor, protocol checks.
#include "hardware/super_io.hpp"
#include "kernel/rtl/text.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <sstream>

#include "client/chip_table.hpp"
#include "kernel/debug/faults.hpp"

using sim::text::Hex;

namespace sim::hw {

namespace {

constexpr uint8_t kOpenBus = 0xFF;
constexpr uint8_t kGlobalRegisterRecord = 0xFF; // logical device recorded for global registers
constexpr uint8_t kConfigControl = 0x02;        // bit 1: back to the wait-for-key state
constexpr uint8_t kConfigRevision = 0x21;
constexpr uint16_t kSharedLowRegister = 0x0016; // NCT5523D, bank 0
constexpr uint16_t kFirstSharedWord = 0x0010;
constexpr uint16_t kLastSharedWord = 0x0015;
constexpr uint64_t kMaxReportsPerChip = 32;

std::string ThreadName(std::thread::id id)
{
    std::ostringstream text;
    text << id;
    return text.str();
}

uint16_t NextInBank(uint16_t reg)
{
    return static_cast<uint16_t>((reg & 0xFF00) | ((reg + 1) & 0x00FF));
}

} // namespace

// Chip names come from the user-mode chip table, which the tool uses too.
std::string_view ChipKindName(ChipKind kind)
{
    return kwotarv::ChipName(kwotarv::ChipByCode(static_cast<uint32_t>(kind)), "none");
}

std::optional<ChipKind> ParseChipKind(std::string_view name)
{
    if (const kwotarv::ChipRow* row = kwotarv::ChipByName(name))
        return static_cast<ChipKind>(row->code);
    if (std::ranges::equal(name, std::string_view("none"), [](char a, char b) {
            return std::tolower(static_cast<unsigned char>(a)) == b;
        }))
        return ChipKind::None;
    return std::nullopt;
}

SuperIoConfig SuperIoConfig::For(ChipKind kind)
{
    SuperIoConfig config;
    config.kind = kind;
    switch (kind) {
    case ChipKind::W83627HF:
        config.id = 0x52;
        config.revision = 0x41;
        break;
    case ChipKind::W83627DHG:
        config.id = 0xA0;
        config.revision = 0x25;
        break;
    case ChipKind::NCT6776:
        config.id = 0xC3;
        config.revision = 0x33;
        break;
    case ChipKind::NCT5523D:
        config.id = 0xC4;
        config.revision = 0x51;
        break;
    case ChipKind::None:
        config.id = 0xFF;
        config.revision = 0xFF;
        break;
    }
    return config;
}

SuperIo::SuperIo(const SuperIoConfig& config) : config_(config)
{
    auto& hwm = LogicalDevice(kHwmLogicalDevice);
    hwm[kConfigActivation] = config.activation;
    hwm[kConfigBaseHigh] = static_cast<uint8_t>(config.hwmBase >> 8);
    hwm[kConfigBaseLow] = static_cast<uint8_t>(config.hwmBase & 0xFF);
    for (const auto& [reg, value] : config.registers)
        SetRegister(reg, value);
}

// ---- configuration registers --------------------------------------------------------------

std::array<uint8_t, 256>& SuperIo::LogicalDevice(uint8_t ldn)
{
    auto [entry, inserted] = logicalDevices_.try_emplace(ldn);
    if (inserted)
        entry->second.fill(0);
    return entry->second;
}

uint16_t SuperIo::HwmBase() const
{
    auto entry = logicalDevices_.find(kHwmLogicalDevice);
    if (entry == logicalDevices_.end())
        return 0;
    return static_cast<uint16_t>(entry->second[kConfigBaseHigh] << 8 |
                                 entry->second[kConfigBaseLow]);
}

bool SuperIo::HwmActive() const
{
    auto entry = logicalDevices_.find(kHwmLogicalDevice);
    return entry != logicalDevices_.end() && (entry->second[kConfigActivation] & 0x01) != 0;
}

void SuperIo::SetConfigRegister(uint8_t logicalDevice, uint8_t reg, uint8_t value)
{
    if (reg == kConfigChipId)
        config_.id = value;
    else if (reg == kConfigRevision)
        config_.revision = value;
    else if (reg < global_.size())
        global_[reg] = value;
    else
        LogicalDevice(logicalDevice)[reg] = value;
}

uint8_t SuperIo::ConfigRegister(uint8_t logicalDevice, uint8_t reg) const
{
    if (reg == kConfigChipId)
        return config_.id;
    if (reg == kConfigRevision)
        return config_.revision;
    if (reg < global_.size())
        return global_[reg];
    auto entry = logicalDevices_.find(logicalDevice);
    return entry == logicalDevices_.end() ? 0 : entry->second[reg];
}

uint8_t SuperIo::ConfigRead(uint16_t port)
{
    ++configOperations_;
    if (!configMode_) {
        // Outside configuration mode nothing answers; any access breaks a key sequence.
        keyCount_ = 0;
        return kOpenBus;
    }
    if (port == IndexPort())
        return configIndex_;
    if (configIndex_ == kConfigControl)
        return 0x00; // write-only
    return ConfigRegister(global_[kConfigLogicalDevice], configIndex_);
}

void SuperIo::ConfigWriteOp(uint16_t port, uint8_t value)
{
    ++configOperations_;
    if (!configMode_) {
        if (port == IndexPort() && value == kConfigEnterKey) {
            if (++keyCount_ == 2) {
                configMode_ = true;
                keyCount_ = 0;
                configIndex_ = 0;
            }
        } else {
            keyCount_ = 0;
        }
        return;
    }
    if (port == IndexPort()) {
        if (value == kConfigExitKey)
            configMode_ = false;
        else
            configIndex_ = value;
        return;
    }

    const uint8_t reg = configIndex_;
    if (reg < global_.size()) {
        configWrites_.push_back({kGlobalRegisterRecord, reg, value});
        if (reg == kConfigControl) {
            if (value & 0x02)
                configMode_ = false;
        } else if (reg != kConfigChipId && reg != kConfigRevision) {
            global_[reg] = value;
        }
        return;
    }
    const uint8_t ldn = global_[kConfigLogicalDevice];
    configWrites_.push_back({ldn, reg, value});
    LogicalDevice(ldn)[reg] = value;
    if (ldn == kHwmLogicalDevice && reg == kConfigActivation)
        activationWrites_.push_back(value);
}

// ---- hardware-monitor register file --------------------------------------------------------

bool SuperIo::IsSharedLowRegister(uint16_t reg) const
{
    return config_.kind == ChipKind::NCT5523D && reg == kSharedLowRegister;
}

uint8_t SuperIo::ReadHwmRegister(uint16_t reg) const
{
    if (IsSharedLowRegister(reg)) {
        // Bit n is bit 7 of the low byte of register 0x10 + n; bits 6 and 7 are plain storage.
        uint8_t value = hwm_[reg] & 0xC0;
        for (unsigned n = 0; n < sharedLow_.size(); ++n)
            value |= static_cast<uint8_t>(((sharedLow_[n] >> 7) & 1) << n);
        return value;
    }
    return hwm_[reg];
}

void SuperIo::WriteHwmRegister(uint16_t reg, uint8_t value)
{
    if (IsSharedLowRegister(reg)) {
        for (unsigned n = 0; n < sharedLow_.size(); ++n)
            sharedLow_[n] = static_cast<uint8_t>(((value >> n) & 1) << 7);
        hwm_[reg] = value & 0xC0;
        return;
    }
    hwm_[reg] = value;
}

void SuperIo::SetRegister(uint16_t reg, uint8_t value)
{
    if ((reg & 0xFF) == kHwmBankSelect) {
        bank_ = value;
        return;
    }
    WriteHwmRegister(reg, value);
}

uint8_t SuperIo::Register(uint16_t reg) const
{
    if ((reg & 0xFF) == kHwmBankSelect)
        return bank_;
    return ReadHwmRegister(reg);
}

void SuperIo::SetWord(uint16_t reg, uint16_t value)
{
    if (config_.kind == ChipKind::NCT5523D && reg >= kFirstSharedWord && reg <= kLastSharedWord) {
        hwm_[reg] = static_cast<uint8_t>(value >> 8);
        sharedLow_[reg & 0x07] = static_cast<uint8_t>(value & 0x80);
        return;
    }
    SetRegister(reg, static_cast<uint8_t>(value >> 8));
    SetRegister(NextInBank(reg), static_cast<uint8_t>(value & 0xFF));
}

uint16_t SuperIo::Word(uint16_t reg) const
{
    if (config_.kind == ChipKind::NCT5523D && reg >= kFirstSharedWord && reg <= kLastSharedWord)
        return static_cast<uint16_t>(hwm_[reg] << 8 | sharedLow_[reg & 0x07]);
    return static_cast<uint16_t>(Register(reg) << 8 | Register(NextInBank(reg)));
}

uint8_t SuperIo::CurrentBank() const
{
    return bank_;
}

// ---- hardware-monitor ports ----------------------------------------------------------------

void SuperIo::Violation(const std::string& what)
{
    if (violations_++ < kMaxReportsPerChip)
        sim::faults::Report(std::string(ChipKindName(config_.kind)) + " HWM protocol: " + what);
}

void SuperIo::CheckSequence(bool dataPort)
{
    const auto me = std::this_thread::get_id();
    if (sequenceOwner_ && *sequenceOwner_ != me) {
        Violation("thread " + ThreadName(me) + " used the HWM ports while the access of thread " +
                  ThreadName(*sequenceOwner_) + " had not returned to bank 0 (bank " +
                  Hex(bank_, 2) + ", index " + Hex(hwmIndex_, 2) + ")");
        sequenceOwner_ = me;
    }
    if (!sequenceOwner_)
        sequenceOwner_ = me;
    if (dataPort && indexOwner_ && *indexOwner_ != me) {
        Violation("thread " + ThreadName(me) + " used the HWM data port at index " +
                  Hex(hwmIndex_, 2) + " selected by thread " + ThreadName(*indexOwner_));
        indexOwner_ = me;
    }
}

uint8_t SuperIo::HwmRead(uint16_t port)
{
    ++hwmOperations_;
    const bool dataPort = port == HwmBase() + 6;
    CheckSequence(dataPort);
    if (!dataPort)
        return hwmIndex_;
    if (hwmIndex_ == kHwmBankSelect) {
        ++hwmReads_[kHwmBankSelect];
        return bank_;
    }
    const uint16_t reg = static_cast<uint16_t>(bank_ << 8 | hwmIndex_);
    ++hwmReads_[reg];
    return ReadHwmRegister(reg);
}

void SuperIo::HwmWriteOp(uint16_t port, uint8_t value)
{
    ++hwmOperations_;
    const bool dataPort = port == HwmBase() + 6;
    CheckSequence(dataPort);
    if (!dataPort) {
        hwmIndex_ = value;
        indexOwner_ = std::this_thread::get_id();
        return;
    }
    if (hwmIndex_ == kHwmBankSelect) {
        // The bank-select register is the same register in every bank; recorded as 0x004E.
        hwmWrites_.push_back({kHwmBankSelect, value});
        ++hwmWriteCounts_[kHwmBankSelect];
        bank_ = value;
        if (value == 0)
            sequenceOwner_.reset();
        return;
    }
    const uint16_t reg = static_cast<uint16_t>(bank_ << 8 | hwmIndex_);
    hwmWrites_.push_back({reg, value});
    ++hwmWriteCounts_[reg];
    WriteHwmRegister(reg, value);
}

uint64_t SuperIo::HwmReadCount(uint16_t reg) const
{
    auto entry = hwmReads_.find(reg);
    return entry == hwmReads_.end() ? 0 : entry->second;
}

uint64_t SuperIo::HwmWriteCount(uint16_t reg) const
{
    auto entry = hwmWriteCounts_.find(reg);
    return entry == hwmWriteCounts_.end() ? 0 : entry->second;
}

void SuperIo::ClearRecords()
{
    activationWrites_.clear();
    configWrites_.clear();
    hwmWrites_.clear();
    hwmReads_.clear();
    hwmWriteCounts_.clear();
    hwmOperations_ = 0;
    configOperations_ = 0;
    violations_ = 0;
}

void SuperIo::ForgetWrites()
{
    std::vector<ConfigWrite>().swap(configWrites_);
    std::vector<HwmWrite>().swap(hwmWrites_);
}

// ---- PortDevice ----------------------------------------------------------------------------

bool SuperIo::Decodes(uint16_t port) const
{
    if (port == IndexPort() || port == DataPort())
        return true;
    // The monitor's ports are decoded only while its logical device is active at a base.
    const uint16_t base = HwmBase();
    if (base == 0 || !HwmActive())
        return false;
    return port == base + 5 || port == base + 6;
}

uint8_t SuperIo::Read(uint16_t port)
{
    if (port == IndexPort() || port == DataPort())
        return ConfigRead(port);
    return HwmRead(port);
}

void SuperIo::Write(uint16_t port, uint8_t value)
{
    if (port == IndexPort() || port == DataPort())
        ConfigWriteOp(port, value);
    else
        HwmWriteOp(port, value);
}

} // namespace sim::hw
