#include "lifecycle_machine.hpp"

#include <gtest/gtest.h>

#include <cstring>

#include "kernel/pool/pool.hpp"
#include "kernel/registry/registry.hpp"
#include "lifecycle/lifecycle.h"

namespace lifecycle {

std::string BoardRegistryText(bool vbatChannel)
{
    std::string text = "Windows Registry Editor Version 5.00\r\n\r\n";
    const std::string board = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\KwoTarv"
                              "\\Product\\QIB-1234";
    auto channel = [&](const std::string& kind, int number, const std::string& body) {
        text += board + "\\" + kind + "\\" + std::to_string(number) + "]\r\n" + body + "\r\n";
    };
    channel("Voltage", 0, "\"FriendlyName\"=\"VCORE\"\r\n\"RegIndex\"=dword:00000000\r\n");
    channel("Voltage", 1,
            "\"FriendlyName\"=\"+12V\"\r\n\"RegIndex\"=dword:00000001\r\n"
            "\"R1\"=dword:00000038\r\n\"R2\"=dword:0000000a\r\n");
    if (vbatChannel)
        channel("Voltage", 2, "\"FriendlyName\"=\"VBAT\"\r\n\"RegIndex\"=dword:00000008\r\n");
    channel("Temperature", 0,
            "\"FriendlyName\"=\"CPU\"\r\n\"FunctionIndex\"=dword:00000000\r\n"
            "\"TjMax\"=dword:00000064\r\n");
    channel("Temperature", 1, "\"FriendlyName\"=\"System\"\r\n\"RegIndex\"=dword:00000003\r\n");
    channel("Fan", 0, "\"FriendlyName\"=\"CPU Fan\"\r\n\"RegIndex\"=dword:00000000\r\n");
    channel("Fan", 1, "\"FriendlyName\"=\"System Fan\"\r\n\"RegIndex\"=dword:00000001\r\n");
    return text;
}

void InstallBoard(const Board& board)
{
    auto& hw = sim::hw::Current();
    if (board.chip != sim::hw::ChipKind::None) {
        sim::hw::SuperIoConfig config = sim::hw::SuperIoConfig::For(board.chip);
        config.hwmBase = kHwmBase;
        // A few live readings so that requests return something recognisable.
        config.registers[0x0020] = 0x7D; // VCORE
        config.registers[0x0021] = 0xE5; // +12V input
        config.registers[0x0551] = 0xC9; // VBAT input
        config.registers[kVbatControlRegister] = 0x00;
        hw.InstallSuperIo(config);
    }
    if (!board.firmwareText.empty())
        hw.memory.SynthesiseFirmware(board.firmwareText, 0x1000);
    // The service key exists once the driver is installed, configuration or not.
    sim::registry::CreateKey(kServiceKey);
    if (board.configuration)
        sim::registry::ImportRegText(BoardRegistryText(board.vbatChannel));
}

std::vector<Request> EveryRequest()
{
    auto selector = [](uint32_t value) {
        std::vector<uint8_t> bytes(4);
        std::memcpy(bytes.data(), &value, 4);
        return bytes;
    };
    return {
        {IOCTL_HWM_GET_VOLTAGES, {}, HWM_VOLTAGES_REPLY_SIZE},
        {IOCTL_HWM_GET_TEMPERATURES, {}, HWM_TEMPERATURES_REPLY_SIZE},
        {IOCTL_HWM_GET_FANS, {}, HWM_FANS_REPLY_SIZE},
        {IOCTL_HWM_GET_CHIP_INFO, {}, sizeof(CHIP_INFO_BLOCK)},
        {IOCTL_HWM_GET_CHIP_DESC, {}, HWM_CHIP_DESC_REPLY_SIZE},
        {IOCTL_HWM_GET_CHANNEL_NAMES, selector(HWM_SELECT_VOLTAGES), 9 * HWM_CHANNEL_NAME_SLOT},
        {IOCTL_HWM_GET_CHANNEL_NAMES, selector(HWM_SELECT_TEMPERATURES), 3 * 64},
        {IOCTL_HWM_GET_CHANNEL_VALUES, selector(HWM_SELECT_VOLTAGES), 9 * 4},
        {IOCTL_HWM_GET_CHANNEL_VALUES, selector(HWM_SELECT_FANS), 5 * 4},
    };
}

std::map<std::string, size_t> OutstandingByTag()
{
    std::map<std::string, size_t> byTag;
    for (const auto& allocation : sim::pool::Outstanding())
        ++byTag[sim::pool::TagText(allocation.tag)];
    return byTag;
}

std::string OutstandingSummary()
{
    std::string text;
    for (const auto& [tag, count] : OutstandingByTag())
        text += (text.empty() ? "" : " ") + tag + "=" + std::to_string(count);
    return text.empty() ? "no allocations outstanding" : "outstanding: " + text;
}

LifecycleMachine::LifecycleMachine(const Board& board) : bus_(&sim::bus::CreateBusDevice())
{
    InstallBoard(board);
}

NTSTATUS LifecycleMachine::Load(std::u16string_view servicePath)
{
    sim::pnp::LoadResult load = sim::pnp::LoadDriver(DriverEntry, servicePath);
    driver_ = load.driver;
    return load.status;
}

NTSTATUS LifecycleMachine::AddDevice()
{
    return sim::pnp::AddDevice(driver_, Pdo());
}

bool LifecycleMachine::Unload()
{
    bool unloaded = sim::pnp::UnloadDriver(driver_);
    if (unloaded)
        driver_ = nullptr;
    return unloaded;
}

void LifecycleMachine::BringUp()
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ASSERT_EQ(AddDevice(), STATUS_SUCCESS);
    sim::pnp::PnpResult start = Start();
    ASSERT_TRUE(start.completed);
    ASSERT_EQ(start.status, STATUS_SUCCESS);
}

sim::hw::SuperIo* LifecycleMachine::Chip() const
{
    return sim::hw::Current().FirstSuperIo();
}

PDEVICE_OBJECT LifecycleMachine::Device() const
{
    return sim::io::FindDevice(kDeviceName);
}

PDEVICE_EXTENSION LifecycleMachine::Extension() const
{
    PDEVICE_OBJECT device = Device();
    return device != nullptr ? static_cast<PDEVICE_EXTENSION>(device->DeviceExtension) : nullptr;
}

sim::io::OpenResult LifecycleMachine::Open() const
{
    return sim::io::OpenDevice(kUserPath, sim::io::kGenericRead | sim::io::kGenericWrite);
}

} // namespace lifecycle
