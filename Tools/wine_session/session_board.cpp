// Resolving and writing the session's board.
#include "session_board.hpp"

#include <fstream>

#include "backends/demo_board.hpp"
#include "board/board.hpp"
#include "kernel/registry/registry.hpp"
#include "machine/machine.hpp"

namespace kwotarv {

namespace {

void WriteBytes(const std::filesystem::path& file, std::string_view bytes)
{
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (!out || !out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())))
        throw ToolError("cannot write '" + file.string() + "'", kExitFailure);
}

} // namespace

void WriteSessionBoard(const SimulatorOptions& options, const std::filesystem::path& directory)
{
    namespace machine = sim::machine;
    const machine::Board board = ResolveBoard(options);
    std::string json;
    std::vector<uint8_t> firmware;
    try {
        json = options.board ? machine::ReadFile(*options.board / "board.json", "board description")
                             : std::string(DemoBoardJson());
        firmware = machine::FirmwareImage(board);
        // The simulated machine rejects an unusable registry file when it powers on; the
        // session rejects it before Wine starts, with the same message.
        sim::registry::Reset();
        machine::ImportBoardRegistry(board);
    } catch (const machine::BoardError& error) {
        throw ToolError(error.what(), kExitUsage);
    }
    std::filesystem::create_directories(directory);
    WriteBytes(directory / "board.json", json);
    WriteBytes(directory / "firmware.bin",
               std::string_view(reinterpret_cast<const char*>(firmware.data()), firmware.size()));
    std::filesystem::remove(directory / "registry.reg");
    if (!board.registryText.empty())
        WriteBytes(directory / "registry.reg", board.registryText);
}

} // namespace kwotarv
