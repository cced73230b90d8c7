// Runs a board under Wine with scripts/kwotarv-wine: one session for many commands (--batch),
// or one whole launcher call. Also the one place where output differences that are Wine's own,
// not the driver's, are normalised before a comparison.
#pragma once

#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "process.hpp"

namespace winetest {

// Why the Wine tests cannot run here (Wine not installed, the cross build off, or
// KWOTARV_WINE=0), or nullopt.
std::optional<std::string> WhyNoWine();

struct CommandResult {
    int status = -1;
    std::string out;
    std::string err;
    std::string trace; // the port operations of this command
    std::string debug; // the driver's DbgPrint output during it
};

struct BatchSession {
    tooltest::ToolRun launcher; // the launcher's own status and messages
    std::string startStatus;    // how the driver completed IRP_MN_START_DEVICE, or "none"
    std::string startTrace;     // install, load and start
    std::string startDebug;
    std::string endTrace; // removal and unload
    std::string faults;   // what the HAL reported
    std::string halLog;
    std::string publishedFile; // the service key after start, in the tool's regedit format
    std::vector<CommandResult> commands;
    std::unique_ptr<tooltest::ScratchDir> files; // holds the session's files
};

// Which image runs, and which kwotarv.exe talks to it.
struct WineSetup {
    std::string arch;     // the driver image and HAL: i686, amd64
    std::string toolArch; // kwotarv.exe
};

// Each architecture the build made the image, kwotarv.exe and HAL of for Wine, with its own
// tool; and with both, the 32-bit tool against the 64-bit driver (WOW64).
std::vector<WineSetup> WineSetups();
std::string SetupName(const WineSetup& setup); // "amd64" or "amd64_tool_i686"
inline void PrintTo(const WineSetup& setup, std::ostream* out)
{
    *out << SetupName(setup);
}

// Every command (the words of one kwotarv command line) in one session on `board`.
BatchSession RunBatch(const WineSetup& setup, const std::string& board,
                      const std::vector<std::vector<std::string>>& commands);

// One launcher call: scripts/kwotarv-wine --arch ARCH --tool-arch TOOL ARGS.
tooltest::ToolRun RunLauncher(const WineSetup& setup, const std::vector<std::string>& args);

// Wine builds the device interface's symbolic link from the lower-cased device instance ID
// ("\??\root#kwotarv#0000#{...}"), where the host build keeps the ID as the device was created
// ("ROOT#KwoTarv#0000"). The name is case-insensitive on Windows; this puts Wine's spelling
// into the host's. Applied to Wine's side of every comparison, and nothing else is changed.
std::string NormaliseWine(std::string text);

// Windows' I/O manager gives a METHOD_BUFFERED request with no input and no output no system
// buffer at all (SystemBuffer NULL); Wine's gives it a buffer of zero bytes. The driver answers
// the first with STATUS_BUFFER_ALL_ZEROS and the second as a buffer too small, both without
// data. For such a request (`ioctl CODE --output-length 0` without --input) this drops the
// status from the tool's JSON reply, so the rest of the reply (information 0, no output) is
// still compared.
bool WineGivesABufferOfZeroBytes(const std::vector<std::string>& command);
std::string DropStatus(const std::string& json);

} // namespace winetest
