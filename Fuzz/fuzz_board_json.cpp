// board.json on arbitrary bytes: a description is either refused with BoardError or gives a
// board within the documented limits; a board that carries its own firmware text (no file
// names: the fuzzer reads no files) then runs a whole life with the demo configuration, ending
// clean whether or not its device starts.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "hardware/physical_memory.hpp"
#include "public/kwotarv_public.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    sim::machine::Board board;
    try {
        board = sim::machine::ParseBoard(text, "board.json", {});
    } catch (const sim::machine::BoardError&) {
        return 0;
    } catch (const std::exception& error) {
        kwofuzz::Finding(std::string("ParseBoard threw something else than BoardError: ") +
                         error.what());
    }
    if (board.configPort != 0x2E && board.configPort != 0x4E)
        kwofuzz::Finding("a configuration port other than 0x2E or 0x4E was accepted");
    if (board.firmware.kind == sim::machine::FirmwareDescription::Kind::File)
        return 0;
    if (sim::machine::FirmwareImage(board).size() != sim::hw::kFirmwareSegmentSize)
        kwofuzz::Finding("the firmware image is not one F-segment");

    board.registryText = kwofuzz::DemoRegistry();
    sim::machine::Machine machine(std::move(board));
    if (machine.PowerOn().started) {
        for (uint32_t code : {IOCTL_HWM_GET_CHIP_INFO, IOCTL_HWM_GET_TEMPERATURES,
                              IOCTL_HWM_GET_VOLTAGES, IOCTL_HWM_GET_FANS})
            machine.DeviceIoControl(code, {}, 1024);
    }
    kwofuzz::PowerOffClean(machine, "a fuzzed board");
    return 0;
}
