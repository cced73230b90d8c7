// The registry export of a Wine session in the format the simulator build of kwotarv writes
// with --registry-out: Wine's regedit export of the service key is read into the simulator's
// registry and written out by the same exporter.
#pragma once

#include <filesystem>

namespace kwotarv {

// Throws ToolError when the export cannot be read or the result cannot be written.
void ConvertRegistryExport(const std::filesystem::path& wineExport,
                           const std::filesystem::path& output);

} // namespace kwotarv
