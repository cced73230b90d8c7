// A device for request tests without the whole Plug and Play start: a test driver object whose
// create/close and device-control entries are the driver's routines, one named device created
// through the simulated I/O manager, and its DEVICE_EXTENSION filled as the start sequence would
// fill it: chip profile by detecting a chip model, channel lists, description text and info
// block. Handles are opened through the simulated user-mode path (device_io.hpp).
#pragma once

#include <cstdint>
#include <cwchar>
#include <string>
#include <vector>

#include "hardware/hardware.hpp"
#include "kernel/io/device_io.hpp"

// Driver headers last: the host seam renames a few wide-string routines by macro.
#include "config/channel.h"

namespace kwo::test {

class ControlDevice {
  public:
    explicit ControlDevice(sim::hw::ChipKind kind);
    ~ControlDevice();
    ControlDevice(const ControlDevice&) = delete;
    ControlDevice& operator=(const ControlDevice&) = delete;

    PDEVICE_OBJECT Device() const { return device_; }
    DEVICE_EXTENSION& Ext() const
    {
        return *static_cast<PDEVICE_EXTENSION>(device_->DeviceExtension);
    }
    sim::hw::SuperIo& Chip() const { return *chip_; }

    // Replace a list (the old one is freed); counts and temperature flags follow the list.
    void SetVoltages(PSENSOR_CHANNEL_LIST list);
    void SetTemperatures(PSENSOR_CHANNEL_LIST list);
    void SetFans(PSENSOR_CHANNEL_LIST list);

    // An info block of 536 + 132 * tempGroups bytes (non-paged pool, "Cinf") whose bytes after
    // the header follow a counting pattern, so a reply can be compared byte for byte.
    void SetChipInfo(uint32_t tempGroups);
    void DropChipInfo();
    std::vector<uint8_t> ChipInfoBytes() const;

    // ChipDesc and VoltageList filled with recognisable text.
    void SetDescription(const std::u16string& description, const std::u16string& voltageList);

    // Opens "\\.\KwoTarvDev" with the given access (fails the test when the open fails).
    sim::io::Handle Open(ACCESS_MASK access = sim::io::kGenericRead | sim::io::kGenericWrite) const;

  private:
    PDRIVER_OBJECT driver_ = nullptr;
    PDEVICE_OBJECT device_ = nullptr;
    sim::hw::SuperIo* chip_ = nullptr;
};

} // namespace kwo::test
