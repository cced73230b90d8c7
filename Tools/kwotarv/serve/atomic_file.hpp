// Replacing a file so that a reader sees either the old or the new contents, never a part:
// the text goes to a temporary file in the same directory, which then takes the file's name
// (rename on Linux, MoveFileEx with replace on Windows). For node_exporter's textfile
// collector, which may read the file at any moment. A file replaced keeps its permissions.
#pragma once

#include <filesystem>
#include <string_view>

namespace kwotarv {

// Throws ToolError (kExitFailure) saying what failed; the temporary file is removed then and
// the old file stays as it was.
void WriteFileAtomically(const std::filesystem::path& file, std::string_view text);

// Throws ToolError (kExitUsage) saying why `file` cannot be written that way: no name, a
// folder, its folder missing or not one, or no file can be created in its folder (tried).
void CheckReplaceableFile(const std::filesystem::path& file);

} // namespace kwotarv
