#include <cstring>

#include <gtest/gtest.h>

#include "sensors_board.hpp"

#include "chip/chip.h"
#include "control/control.h"

namespace kwo::test {

void InitializeExtension(DEVICE_EXTENSION& ext)
{
    std::memset(&ext, 0, sizeof(ext));
    static const WCHAR kPath[] = KWO_SERVICE_KEY;
    std::memcpy(ext.RegistryPathBuffer, kPath, sizeof(kPath));
    ext.RegistryPath.Buffer = ext.RegistryPathBuffer;
    ext.RegistryPath.Length = sizeof(kPath) - sizeof(WCHAR);
    ext.RegistryPath.MaximumLength = KWO_REGISTRY_PATH_ROOM;
    InitializeDeviceLock(&ext);
}

std::unique_ptr<DEVICE_EXTENSION> NewExtension()
{
    auto ext = std::make_unique<DEVICE_EXTENSION>();
    InitializeExtension(*ext);
    return ext;
}

sim::hw::SuperIo& InstallAndDetect(DEVICE_EXTENSION& ext, sim::hw::ChipKind kind)
{
    sim::hw::SuperIoConfig config = sim::hw::SuperIoConfig::For(kind);
    config.configPort = 0x2E;
    config.hwmBase = 0x0290;
    sim::hw::SuperIo& chip = sim::hw::Current().InstallSuperIo(config);
    // The configuration pair is driver-wide; a detection in an earlier test may have moved it.
    Globals.SioIndexPort = 0x2E;
    Globals.SioDataPort = 0x2F;
    EXPECT_TRUE(DetectChip(&ext)) << "chip " << sim::hw::ChipKindName(kind) << " not detected";
    chip.ClearRecords();
    return chip;
}

void AttachVoltages(DEVICE_EXTENSION& ext, PSENSOR_CHANNEL_LIST list)
{
    ext.VoltageChannels = list;
    ext.VoltageCount = list ? list->Count : 0;
}

void AttachTemperatures(DEVICE_EXTENSION& ext, PSENSOR_CHANNEL_LIST list)
{
    ext.TempChannels = list;
    ext.TempCount = list ? list->Count : 0;
    ext.HasTemp1 = list ? 1 : 0;
    ext.HasTemp2 = list && list->Count > 1 ? 1 : 0;
}

void AttachFans(DEVICE_EXTENSION& ext, PSENSOR_CHANNEL_LIST list)
{
    ext.FanChannels = list;
    ext.FanCount = list ? list->Count : 0;
}

void FreeLists(DEVICE_EXTENSION& ext)
{
    FreeChannelList(&ext.VoltageChannels);
    FreeChannelList(&ext.TempChannels);
    FreeChannelList(&ext.FanChannels);
    ext.VoltageCount = ext.TempCount = ext.FanCount = 0;
    ext.HasTemp1 = ext.HasTemp2 = 0;
}

} // namespace kwo::test
