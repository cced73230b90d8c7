// The current simulated machine's hardware: what READ_PORT_UCHAR/WRITE_PORT_UCHAR,
// HalGetBusDataByOffset, MmMapIoSpace/MmUnmapIoSpace, __readmsr and __cpuid reach.
//
// Usage (in a test, after sim::ResetAll() has put everything back to the boot state):
//   auto& hw = sim::hw::Current();
//   auto& chip = hw.InstallSuperIo(sim::hw::SuperIoConfig::For(sim::hw::ChipKind::NCT5523D));
//   hw.cpu.SetThermalStatus(0x88390000);
//   hw.pci.AddFunction(0, 0x18, 3, 0x1022, 0x1203);
//   hw.memory.SynthesiseFirmware("QIB-1234 BIOS V1.0", 0x100);
//   hw.ports.StartTrace();
// The boot state (sim::hw::Reset, called by sim::ResetAll): no Super I/O chip on the bus, an
// Intel processor with the digital thermal sensor and IA32_THERM_STATUS 0, PCI bus 0 with no
// functions, and an all-zero F-segment.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "hardware/cpu.hpp"
#include "hardware/pci.hpp"
#include "hardware/physical_memory.hpp"
#include "hardware/port_bus.hpp"
#include "hardware/super_io.hpp"

namespace sim::hw {

class Hardware {
  public:
    PortBus ports;
    Cpu cpu;
    PciBus pci;
    PhysicalMemory memory;

    // Puts a chip on the port bus; a chip already answering at the same configuration port is
    // replaced. ChipKind::None installs nothing (and removes the chip at that port): the board
    // has no Super I/O there. Returns the installed chip (for None, a detached placeholder).
    SuperIo& InstallSuperIo(const SuperIoConfig& config);
    void RemoveSuperIos();
    // The chip answering at a configuration index port, or nullptr.
    SuperIo* SuperIoAt(uint16_t configPort);
    // The first installed chip, or nullptr.
    SuperIo* FirstSuperIo();
    const std::vector<std::shared_ptr<SuperIo>>& SuperIos() const { return chips_; }

    void Reset();

  private:
    std::vector<std::shared_ptr<SuperIo>> chips_;
    std::shared_ptr<SuperIo> placeholder_;
};

Hardware& Current();
// Back to the boot state described above.
void Reset();

} // namespace sim::hw
