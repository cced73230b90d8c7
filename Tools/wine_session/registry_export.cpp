// Converting Wine's registry export.
#include "registry_export.hpp"

#include "kernel/registry/registry.hpp"
#include "machine/machine.hpp"
#include "backends/simulator_backend.hpp"

namespace kwotarv {

void ConvertRegistryExport(const std::filesystem::path& wineExport,
                           const std::filesystem::path& output)
{
    namespace registry = sim::registry;
    registry::Reset();
    // Wine keeps the key names as its setup wrote them ("System"); the service key is created
    // first with the names the simulator uses, so the export spells the path the same way.
    registry::CreateKey(sim::machine::kServiceKeyPath);
    try {
        registry::ImportRegFile(wineExport);
    } catch (const std::exception& error) {
        throw ToolError("the registry export of the Wine session '" + wineExport.string() +
                            "' cannot be read: " + error.what(),
                        kExitFailure);
    }
    WriteRegistry(output, registry::ExportRegText(sim::machine::kServiceKeyPath));
}

} // namespace kwotarv
