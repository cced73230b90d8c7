// The processor as the driver sees it: CPUID and model-specific registers.
//
// Usage:
//   auto& cpu = sim::hw::Current().cpu;          // hardware.hpp
//   cpu.SetThermalStatus(0x88390000);            // IA32_THERM_STATUS (MSR 0x19C)
//   cpu.SetDigitalThermalSensor(false);          // CPUID.06H:EAX[0] = 0, MSR 0x19C disappears
//   cpu.SetMaxLeaf(4);                           // CPUID leaf 6 no longer exists
//   EXPECT_EQ(cpu.MsrReadCount(0x19C), 1u);
// Reading an MSR the processor lacks raises #GP on real hardware (a bugcheck in kernel mode);
// here it is reported through sim::faults and reads 0.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace sim::hw {

inline constexpr uint32_t kMsrThermStatus = 0x19C; // IA32_THERM_STATUS
inline constexpr uint32_t kCpuidThermalLeaf = 6;

class Cpu {
  public:
    Cpu() { Reset(); }
    Cpu(const Cpu&) = delete;
    Cpu& operator=(const Cpu&) = delete;

    // ---- configuration ---------------------------------------------------------------------
    // Twelve characters, e.g. "GenuineIntel" or "AuthenticAMD".
    void SetVendor(const std::string& vendor);
    // Highest basic CPUID leaf (CPUID.0:EAX).
    void SetMaxLeaf(uint32_t leaf);
    // CPUID.06H:EAX bit 0. IA32_THERM_STATUS exists exactly when this bit is set and leaf 6 is
    // within the maximum leaf.
    void SetDigitalThermalSensor(bool present);
    void SetThermalStatus(uint64_t value);
    // Any other MSR the processor implements.
    void SetMsr(uint32_t msr, uint64_t value);
    void RemoveMsr(uint32_t msr);

    // ---- what the driver does --------------------------------------------------------------
    // CPUID; leaves above the maximum return the highest basic leaf, as Intel processors do.
    std::array<uint32_t, 4> Cpuid(uint32_t leaf) const;
    // RDMSR; an MSR the processor lacks is reported and reads 0.
    uint64_t ReadMsr(uint32_t msr);
    bool HasMsr(uint32_t msr) const;

    uint64_t MsrReadCount(uint32_t msr) const;
    uint64_t CpuidCount() const;

    // An Intel processor with maximum leaf 0x0B, the digital thermal sensor, MSR 0x19C = 0.
    void Reset();

  private:
    bool HasMsrLocked(uint32_t msr) const;

    mutable std::mutex mutex_;
    std::string vendor_;
    uint32_t maxLeaf_ = 0;
    bool thermalSensor_ = false;
    uint64_t thermStatus_ = 0;
    std::map<uint32_t, uint64_t> msrs_;
    std::map<uint32_t, uint64_t> msrReads_;
    mutable uint64_t cpuidCount_ = 0;
};

} // namespace sim::hw
