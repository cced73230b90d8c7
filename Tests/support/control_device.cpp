#include <algorithm>
#include <cstring>

#include <gtest/gtest.h>

#include "kernel/io/io_manager.hpp"

#include "control_device.hpp"
#include "sensors_board.hpp"

#include "control/control.h"

namespace kwo::test {

namespace {

UNICODE_STRING Text(const wchar_t* text)
{
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

} // namespace

ControlDevice::ControlDevice(sim::hw::ChipKind kind)
{
    driver_ = sim::io::CreateDriverObject(u"\\Driver\\KwoTarv", u"KwoTarv");
    driver_->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driver_->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;

    UNICODE_STRING name = Text(KWOTARV_DEVICE_NAME);
    NTSTATUS status = IoCreateDevice(driver_, sizeof(DEVICE_EXTENSION), &name, FILE_DEVICE_UNKNOWN,
                                     0, FALSE, &device_);
    EXPECT_EQ(status, STATUS_SUCCESS);
    UNICODE_STRING link = Text(KWOTARV_SYMBOLIC_LINK);
    EXPECT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);

    DEVICE_EXTENSION& ext = Ext();
    InitializeExtension(ext);
    ext.Self = device_;
    IoInitializeRemoveLock(&ext.RemoveLock, KWO_TAG_REMOVE_LOCK, 1, 10);
    device_->Flags |= DO_BUFFERED_IO;
    device_->Flags &= ~DO_DEVICE_INITIALIZING;

    chip_ = &InstallAndDetect(ext, kind);
}

ControlDevice::~ControlDevice()
{
    DEVICE_EXTENSION& ext = Ext();
    FreeLists(ext);
    DropChipInfo();
    UNICODE_STRING link = Text(KWOTARV_SYMBOLIC_LINK);
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(device_);
    sim::io::DeleteDriverObject(driver_);
}

void ControlDevice::SetVoltages(PSENSOR_CHANNEL_LIST list)
{
    FreeChannelList(&Ext().VoltageChannels);
    AttachVoltages(Ext(), list);
}

void ControlDevice::SetTemperatures(PSENSOR_CHANNEL_LIST list)
{
    FreeChannelList(&Ext().TempChannels);
    AttachTemperatures(Ext(), list);
}

void ControlDevice::SetFans(PSENSOR_CHANNEL_LIST list)
{
    FreeChannelList(&Ext().FanChannels);
    AttachFans(Ext(), list);
}

void ControlDevice::SetChipInfo(uint32_t tempGroups)
{
    DropChipInfo();
    const uint32_t size = CHIP_INFO_BLOCK_SIZE(tempGroups);
    auto* block =
        static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPool, size, KWO_TAG_CHIP_INFO));
    ASSERT_NE(block, nullptr);
    for (uint32_t i = 0; i < size; ++i)
        block[i] = static_cast<uint8_t>(i * 7 + 1);
    auto* info = reinterpret_cast<CHIP_INFO_BLOCK*>(block);
    info->Size = size;
    info->GroupCount = tempGroups + 1;
    Ext().ChipInfo = info;
}

void ControlDevice::DropChipInfo()
{
    if (Ext().ChipInfo != nullptr) {
        ExFreePoolWithTag(Ext().ChipInfo, KWO_TAG_CHIP_INFO);
        Ext().ChipInfo = nullptr;
    }
}

std::vector<uint8_t> ControlDevice::ChipInfoBytes() const
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(Ext().ChipInfo);
    return {bytes, bytes + Ext().ChipInfo->Size};
}

void ControlDevice::SetDescription(const std::u16string& description,
                                   const std::u16string& voltageList)
{
    DEVICE_EXTENSION& ext = Ext();
    std::memset(ext.ChipDesc, 0, sizeof(ext.ChipDesc));
    std::memset(ext.VoltageList, 0, sizeof(ext.VoltageList));
    std::memcpy(ext.ChipDesc, description.data(),
                std::min(sizeof(ext.ChipDesc), description.size() * 2));
    std::memcpy(ext.VoltageList, voltageList.data(),
                std::min(sizeof(ext.VoltageList), voltageList.size() * 2));
}

sim::io::Handle ControlDevice::Open(ACCESS_MASK access) const
{
    sim::io::OpenResult open = sim::io::OpenDevice(u"\\\\.\\KwoTarvDev", access);
    EXPECT_EQ(open.status, STATUS_SUCCESS);
    return std::move(open.handle);
}

} // namespace kwo::test
