// The replacement hal.dll for running the real kwotarv.sys under Wine against a simulated
// board. Wine's ntoskrnl.exe loads it into winedevice.exe before any driver (it imports the
// spin-lock routines from it); on attach it builds the board's hardware from the session
// directory (session.hpp) and hooks the driver's loading. Other drivers' winedevice.exe
// processes load it too; only the one that loads kwotarv.sys records anything.
#include <windows.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

#include "driver_hooks.hpp"
#include "hardware/hardware.hpp"
#include "board/board.hpp"
#include "board/board_hardware.hpp"
#include "session.hpp"

namespace {

std::string ReadSessionFile(const char* name)
{
    std::ifstream in(kwohal::SessionDirectory() / name, std::ios::binary);
    if (!in)
        throw std::runtime_error(std::string("cannot read ") + name);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void SetUpSession()
{
    if (kwohal::SessionDirectory().empty())
        return; // not started by the launcher: Wine's stub behaviour, nothing recorded
    try {
        const sim::machine::Board board =
            sim::machine::ParseBoard(ReadSessionFile("board.json"), "board.json", {});
        sim::hw::Hardware& hardware = sim::hw::Current();
        sim::machine::InstallBoardDevices(board, hardware);
        const std::string firmware = ReadSessionFile("firmware.bin");
        hardware.memory.SetFirmwareImage(std::vector<uint8_t>(firmware.begin(), firmware.end()));
        if (!kwohal::InstallDriverHooks(kwohal::ParseSiteTable(ReadSessionFile("kwotarv.sites"))))
            kwohal::Fault("the loader offers no DLL notification: the driver cannot be hooked");
    } catch (const std::exception& error) {
        kwohal::Fault(std::string("the session could not be set up: ") + error.what());
    }
    kwohal::FlushModelFaults();
}

} // namespace

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        SetUpSession();
    } else if (reason == DLL_PROCESS_DETACH) {
        sim::hw::Current().ports.StopTrace();
        kwohal::FlushModelFaults();
    }
    return TRUE;
}
