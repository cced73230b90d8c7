// The regedit-format importer on arbitrary bytes. A file is either refused with RegFileError
// (and changes nothing) or imported; an imported tree exported, imported afresh and exported
// again gives the same text, through UTF-8 and (exactly, whatever the names hold) through
// UTF-16LE files.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "kernel/registry/registry.hpp"

namespace {

namespace reg = sim::registry;

// One file per regedit root, as regedit exports them.
std::vector<std::string> ExportRoots(reg::RegEncoding encoding)
{
    std::vector<std::string> files;
    for (const char* root : {"\\REGISTRY\\MACHINE", "\\REGISTRY\\USER"})
        if (reg::KeyExists(root))
            files.push_back(reg::ExportRegText(root, encoding));
    return files;
}

std::string ExportAll()
{
    std::string text;
    for (const auto& file : ExportRoots(reg::RegEncoding::Utf8))
        text += file;
    return text;
}

// A fresh registry with the exported files imported; the export of the result.
std::string Reimport(const std::vector<std::string>& files, const char* what)
{
    reg::Reset();
    try {
        for (const auto& file : files)
            reg::ImportRegText(file);
    } catch (const reg::RegistryError& error) {
        kwofuzz::Finding(std::string(what) + " does not import: " + error.what());
    }
    return ExportAll();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    reg::Reset();
    const std::string before = ExportAll();
    try {
        reg::ImportRegText(bytes);
    } catch (const reg::RegFileError&) {
        if (ExportAll() != before)
            kwofuzz::Finding("a file with an error changed the registry");
        return 0;
    }

    // UTF-16LE files hold every name and text exactly; UTF-8 ones turn unpaired surrogates into
    // U+FFFD, so their round trip is compared from the first UTF-8 export on.
    const std::vector<std::string> wide = ExportRoots(reg::RegEncoding::Utf16LE);
    const std::string first = ExportAll();
    const std::string second = Reimport(ExportRoots(reg::RegEncoding::Utf8), "a UTF-8 export");
    if (second != first)
        kwofuzz::Finding("export, import, export changed the text:\n" + first + "\n----\n" +
                         second);
    Reimport(wide, "a UTF-16LE export");
    if (ExportRoots(reg::RegEncoding::Utf16LE) != wide)
        kwofuzz::Finding("export, import, export through UTF-16LE files changed the registry");
    return 0;
}
