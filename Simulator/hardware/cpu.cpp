// The processor model: CPUID leaves and model-specific registers.
#include "hardware/cpu.hpp"

#include <cstdio>
#include <cstring>

#include "kernel/debug/faults.hpp"

namespace sim::hw {

namespace {

constexpr uint32_t kExtendedLeafBase = 0x80000000;

uint32_t VendorWord(const std::string& vendor, size_t at)
{
    uint32_t word = 0;
    std::memcpy(&word, vendor.data() + at, 4);
    return word;
}

} // namespace

void Cpu::SetVendor(const std::string& vendor)
{
    std::lock_guard lock(mutex_);
    vendor_ = vendor;
    vendor_.resize(12, ' ');
}

void Cpu::SetMaxLeaf(uint32_t leaf)
{
    std::lock_guard lock(mutex_);
    maxLeaf_ = leaf;
}

void Cpu::SetDigitalThermalSensor(bool present)
{
    std::lock_guard lock(mutex_);
    thermalSensor_ = present;
}

void Cpu::SetThermalStatus(uint64_t value)
{
    std::lock_guard lock(mutex_);
    thermStatus_ = value;
}

void Cpu::SetMsr(uint32_t msr, uint64_t value)
{
    std::lock_guard lock(mutex_);
    if (msr == kMsrThermStatus)
        thermStatus_ = value;
    else
        msrs_[msr] = value;
}

void Cpu::RemoveMsr(uint32_t msr)
{
    std::lock_guard lock(mutex_);
    if (msr == kMsrThermStatus)
        thermalSensor_ = false;
    else
        msrs_.erase(msr);
}

std::array<uint32_t, 4> Cpu::Cpuid(uint32_t leaf) const
{
    std::lock_guard lock(mutex_);
    ++cpuidCount_;
    // Extended leaves: only the maximum-extended-leaf query exists, and it reports none.
    if (leaf == kExtendedLeafBase)
        return {kExtendedLeafBase, 0, 0, 0};
    if (leaf > maxLeaf_)
        leaf = maxLeaf_;
    switch (leaf) {
    case 0:
        // EAX, EBX, ECX, EDX; the vendor text is EBX, EDX, ECX.
        return {maxLeaf_, VendorWord(vendor_, 0), VendorWord(vendor_, 8), VendorWord(vendor_, 4)};
    case 1:
        // Family 6, model 0x3A, stepping 9; EDX: FPU, TSC, MSR (bit 5), APIC.
        return {0x000306A9, 0, 0, (1u << 0) | (1u << 4) | (1u << 5) | (1u << 9)};
    case kCpuidThermalLeaf:
        return {thermalSensor_ ? 1u : 0u, 0, 0, 0};
    default:
        return {0, 0, 0, 0};
    }
}

bool Cpu::HasMsrLocked(uint32_t msr) const
{
    if (msr == kMsrThermStatus)
        return thermalSensor_ && maxLeaf_ >= kCpuidThermalLeaf;
    return msrs_.contains(msr);
}

bool Cpu::HasMsr(uint32_t msr) const
{
    std::lock_guard lock(mutex_);
    return HasMsrLocked(msr);
}

uint64_t Cpu::ReadMsr(uint32_t msr)
{
    std::lock_guard lock(mutex_);
    ++msrReads_[msr];
    if (!HasMsrLocked(msr)) {
        char text[96];
        std::snprintf(text, sizeof text,
                      "RDMSR 0x%X: the processor does not implement this MSR (#GP)", msr);
        sim::faults::Report(text);
        return 0;
    }
    if (msr == kMsrThermStatus)
        return thermStatus_;
    return msrs_.at(msr);
}

uint64_t Cpu::MsrReadCount(uint32_t msr) const
{
    std::lock_guard lock(mutex_);
    auto entry = msrReads_.find(msr);
    return entry == msrReads_.end() ? 0 : entry->second;
}

uint64_t Cpu::CpuidCount() const
{
    std::lock_guard lock(mutex_);
    return cpuidCount_;
}

void Cpu::Reset()
{
    std::lock_guard lock(mutex_);
    vendor_ = "GenuineIntel";
    maxLeaf_ = 0x0B;
    thermalSensor_ = true;
    thermStatus_ = 0;
    msrs_.clear();
    msrReads_.clear();
    cpuidCount_ = 0;
}

} // namespace sim::hw
