// kwotarv-wine-session, run by scripts/kwotarv-wine (not meant to be run by hand):
//   kwotarv-wine-session board DIR [--board B] [--firmware F] [--registry R]
//   kwotarv-wine-session registry WINE_EXPORT OUTPUT
// Errors are reported as kwotarv reports them ("kwotarv: ..."), with its exit statuses.
#include <string>

#include <CLI/CLI.hpp>

#include "registry_export.hpp"
#include "session_board.hpp"

int main(int argc, char** argv)
{
    CLI::App app{"The host side of a kwotarv-wine session.", "kwotarv-wine-session"};
    app.require_subcommand(1);
    kwotarv::SimulatorOptions options;
    std::string directory, wineExport, output;
    CLI::App* boardCommand = app.add_subcommand("board", "Resolve and write the session's board");
    boardCommand->add_option("DIR", directory)->required();
    boardCommand->add_option("--board", options.board);
    boardCommand->add_option("--firmware", options.firmware);
    boardCommand->add_option("--registry", options.registry);
    CLI::App* registryCommand =
        app.add_subcommand("registry", "Convert Wine's export of the service key");
    registryCommand->add_option("WINE_EXPORT", wineExport)->required();
    registryCommand->add_option("OUTPUT", output)->required();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        return app.exit(error) == 0 ? kwotarv::kExitSuccess : kwotarv::kExitUsage;
    }
    return kwotarv::RunReportingFailures([&] {
        if (boardCommand->parsed())
            kwotarv::WriteSessionBoard(options, directory);
        else
            kwotarv::ConvertRegistryExport(wineExport, output);
        return kwotarv::kExitSuccess;
    });
}
