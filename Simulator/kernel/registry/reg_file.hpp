// regedit's text format: the reader behind ImportRegFile/ImportRegText and the writer behind
// ExportRegFile/ExportRegText (declared in registry.hpp).
//
// Reader
//   - Encoding: UTF-16LE with BOM, or UTF-8 with or without BOM (bytes that are not UTF-8, as
//     in an ANSI REGEDIT4 file, are read as Latin-1 characters). Lines end in CRLF, LF or CR.
//   - First line: "REGEDIT4" or "Windows Registry Editor Version 5.00".
//   - "[HKEY_LOCAL_MACHINE\...]" opens a key section, creating the key and every key above it;
//     "[-HKEY_LOCAL_MACHINE\...]" deletes the key with everything below it (a missing key is
//     not an error) and the values listed under it are ignored. A key lies at most 512
//     levels below \REGISTRY, as on Windows. Roots: HKEY_LOCAL_MACHINE
//     (\REGISTRY\MACHINE), HKEY_USERS (\REGISTRY\USER), HKEY_CLASSES_ROOT and
//     HKEY_CURRENT_CONFIG (their keys under \REGISTRY\MACHINE); HKEY_CURRENT_USER has no
//     meaning for a kernel without a logged-on user and is an error.
//   - Values: "name"= or @= (the default value), then "text" (REG_SZ, stored as UTF-16LE with
//     its terminator; \\ and \" are the only escapes), dword:1 to 8 hex digits (REG_DWORD),
//     hex:bytes (REG_BINARY), hex(N):bytes (type N, N in hex: 2 REG_EXPAND_SZ, 7 REG_MULTI_SZ,
//     b REG_QWORD...), or - (delete the value). Bytes are comma-separated hex pairs; a line
//     ending in a backslash continues on the next one. In a REGEDIT4 file the bytes of
//     hex(1), hex(2) and hex(7) are 8-bit text and become UTF-16LE, as regedit converts them.
//   - Blank lines and lines starting with ';' are skipped.
//   - Anything else is an error: RegFileError with the line number. Nothing is applied from a
//     file with an error.
//
// Writer ("Windows Registry Editor Version 5.00", CRLF line ends, a blank line after each key)
//   - Keys depth-first in enumeration order, values in stored order.
//   - REG_SZ as "text" when it is a proper string (UTF-16, one terminator at the end, no other
//     zero character and no line break), so that it reads back the same; otherwise hex(1):.
//     REG_DWORD of 4 bytes as dword:xxxxxxxx; everything else as hex: (REG_BINARY) or hex(N):
//     with regedit's wrapping: after a byte's comma, a line that has reached 77 characters
//     ends with "\" and the bytes go on after two spaces (80 columns at most).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/registry/registry.hpp"

namespace sim::registry::regfile {

enum class Format { Regedit4, Regedit5 };

struct Operation {
    enum class Kind { CreateKey, DeleteKey, SetValue, DeleteValue };
    Kind kind = Kind::CreateKey;
    std::u16string key;  // kernel form, "\REGISTRY\MACHINE\..."
    std::u16string name; // value name (SetValue, DeleteValue)
    uint32_t type = kRegNone;
    std::vector<uint8_t> data;
    size_t line = 0;
};

struct ParsedFile {
    Format format = Format::Regedit5;
    std::vector<Operation> operations;
};

// The file's text as UTF-16 (BOM removed). Throws RegFileError for UTF-16BE or an odd length.
std::u16string Decode(std::string_view bytes);
// Reads a whole file without applying it. Throws RegFileError.
ParsedFile Parse(std::string_view bytes);
// Applies parsed operations to the registry, in order.
void Apply(const ParsedFile& file);

// One value as its line(s) in a 5.00 file, without the final line end.
std::u16string FormatValue(std::u16string_view name, uint32_t type,
                           const std::vector<uint8_t>& data);

} // namespace sim::registry::regfile
