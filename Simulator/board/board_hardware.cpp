// The board's hardware on the simulated machine.
#include "board/board_hardware.hpp"

namespace sim::machine {

namespace {

// The AMD northbridge function that carries the temperature register (D18F3).
constexpr uint32_t kNorthbridgeDevice = 0x18;
constexpr uint32_t kNorthbridgeFunction = 3;
constexpr uint32_t kNorthbridgeTemperatureOffset = 0xA4;
constexpr uint16_t kAmdVendorId = 0x1022;
constexpr uint16_t kNorthbridgeDeviceId = 0x1203;

} // namespace

hw::SuperIo* InstallBoardDevices(const Board& board, hw::Hardware& hardware)
{
    hw::SuperIo* chip = nullptr;
    if (board.chip != hw::ChipKind::None) {
        hw::SuperIoConfig config = hw::SuperIoConfig::For(board.chip);
        config.id = ChipIdOf(board);
        config.configPort = board.configPort;
        config.hwmBase = board.hwmBase;
        config.registers = board.registers;
        chip = &hardware.InstallSuperIo(config);
    }
    hardware.cpu.SetDigitalThermalSensor(board.cpu.thermalSensor);
    hardware.cpu.SetThermalStatus(board.cpu.thermalStatus);
    if (board.northbridge) {
        hardware.pci.AddFunction(0, kNorthbridgeDevice, kNorthbridgeFunction, kAmdVendorId,
                                 kNorthbridgeDeviceId);
        hardware.pci.SetConfigDword(0, kNorthbridgeDevice, kNorthbridgeFunction,
                                    kNorthbridgeTemperatureOffset, *board.northbridge);
    }
    return chip;
}

hw::SuperIo* InstallBoardHardware(const Board& board, hw::Hardware& hardware)
{
    hw::SuperIo* chip = InstallBoardDevices(board, hardware);
    hardware.memory.SetFirmwareImage(FirmwareImage(board));
    return chip;
}

} // namespace sim::machine
