// A board for reading tests: a zero-filled DEVICE_EXTENSION (as AddDevice leaves it), a chip
// model on the port bus detected into the extension's chip profile, and channel lists hung on
// the extension the way the configuration store hangs them.
#pragma once

#include <cwchar>
#include <memory>
#include <string>

#include "hardware/hardware.hpp"
#include "sim_fixture.hpp"

// Driver headers last: the host seam renames a few wide-string routines by macro.
#include "config/channel.h"

namespace kwo::test {

// Zero-filled, with the service key as registry path and the device lock initialised.
std::unique_ptr<DEVICE_EXTENSION> NewExtension();
void InitializeExtension(DEVICE_EXTENSION& ext);

// Puts a chip of `kind` (usual ID, HWM base 0x290) at 0x2E/0x2F and fills the chip profile by
// detecting it. Fails the current test when detection fails.
sim::hw::SuperIo& InstallAndDetect(DEVICE_EXTENSION& ext, sim::hw::ChipKind kind);

// Hang a list on the extension with its count (and, for temperatures, HasTemp1/HasTemp2).
void AttachVoltages(DEVICE_EXTENSION& ext, PSENSOR_CHANNEL_LIST list);
void AttachTemperatures(DEVICE_EXTENSION& ext, PSENSOR_CHANNEL_LIST list);
void AttachFans(DEVICE_EXTENSION& ext, PSENSOR_CHANNEL_LIST list);
// Frees the three lists and clears the counts.
void FreeLists(DEVICE_EXTENSION& ext);

// HWM ports of a chip installed by InstallAndDetect.
inline constexpr uint16_t kHwmIndexPort = 0x295;
inline constexpr uint16_t kHwmDataPort = 0x296;

// A test on one such board: Board() installs and detects the chip; the lists hung on the
// extension are freed when the test ends.
class SensorBoardTest : public SimTest {
  protected:
    void TearDown() override
    {
        if (ext)
            FreeLists(*ext);
        SimTest::TearDown();
    }
    sim::hw::SuperIo& Board(sim::hw::ChipKind kind)
    {
        ext = NewExtension();
        chip = &InstallAndDetect(*ext, kind);
        return *chip;
    }

    std::unique_ptr<DEVICE_EXTENSION> ext;
    sim::hw::SuperIo* chip = nullptr;
};

} // namespace kwo::test
