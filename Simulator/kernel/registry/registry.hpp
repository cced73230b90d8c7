// The simulated configuration manager: the registry tree behind ZwOpenKey, ZwQueryKey,
// ZwEnumerateKey, ZwQueryValueKey, ZwClose and RtlWriteRegistryValue, and the host-side API
// that tests and the simulated machine use to prepare and inspect it.
//
// Quick reference for tests
//   Paths are UTF-8 text in the kernel's form "\\REGISTRY\\MACHINE\\SYSTEM\\..." or in regedit's
//   form "HKEY_LOCAL_MACHINE\\SYSTEM\\..." (also "HKLM\\...", "HKEY_USERS\\...", "HKU\\...").
//   Key and value names are case-insensitive; the stored spelling is the one first created.
//
//   sim::registry::ImportRegFile("Boards/x.reg");          // regedit file (REGEDIT4 or 5.00)
//   sim::registry::ImportRegText("Windows Registry Editor Version 5.00\r\n[HKEY_LOCAL...]...");
//   sim::registry::SetDword(kServiceKey, "ChipsetType", 6); // creates missing keys
//   sim::registry::SetString(kServiceKey, "FriendlyName", "CPU Vcore");
//   auto v = sim::registry::GetValue(kServiceKey, "InterfaceName");   // std::optional<Value>
//   auto d = sim::registry::GetDword(kServiceKey, "ChipsetType");     // nullopt unless REG_DWORD
//   auto s = sim::registry::GetString(kServiceKey, "ChipDesc");       // REG_SZ / REG_EXPAND_SZ
//   EXPECT_TRUE(sim::registry::KeyExists(kProductKey + "\\*"));
//   EXPECT_EQ(sim::registry::OpenHandleCount(), 0u);       // the driver closed every key
//   std::string text = sim::registry::ExportRegText(kServiceKey);   // regedit 5.00, UTF-8
//
//   Failure injection (cleared by Reset() and ClearFailures()):
//   sim::registry::DenyOpen(path);                          // ZwOpenKey -> STATUS_ACCESS_DENIED
//   sim::registry::FailOpen(path, STATUS_INSUFFICIENT_RESOURCES);
//   sim::registry::FailQueryKey(path, status);              // ZwQueryKey on that key
//   sim::registry::UnderReportMaxNameLen(path, 0);          // KeyFullInformation's MaxNameLen
//   sim::registry::FailEnumerate(path, index, status);      // ZwEnumerateKey of one index
//   sim::registry::FailQueryValue(path, "RegIndex", status); // ZwQueryValueKey of one value
//   sim::registry::FailWrite(path, "ChipDesc", status);     // RtlWriteRegistryValue
//
//   Reset() empties the tree down to the keys every Windows system has (\REGISTRY\MACHINE with
//   SYSTEM\CurrentControlSet\Services and \Control, SOFTWARE, HARDWARE; \REGISTRY\USER), closes
//   every handle and clears every injected failure. sim::ResetAll() calls it.
//
// Behaviour of the kernel routines (details next to each routine in zw_registry.cpp):
//   - Names are looked up case-insensitively whatever OBJ_CASE_INSENSITIVE says, as the
//     configuration manager does. Subkeys enumerate in the order Windows keeps them: by name,
//     comparing upper-cased UTF-16 code units ("*" < "0" < "10" < "2" < "A" < "_").
//   - A missing key or value gives STATUS_OBJECT_NAME_NOT_FOUND; ZwEnumerateKey past the last
//     subkey gives STATUS_NO_MORE_ENTRIES; a key deleted while open gives STATUS_KEY_DELETED.
//   - Information-class size rules are the configuration manager's: a buffer shorter than the
//     fixed part gives STATUS_BUFFER_TOO_SMALL, a buffer that holds the fixed part but not all
//     of the name or data gives STATUS_BUFFER_OVERFLOW with the fixed part filled and as much of
//     the rest as fits; *ResultLength is the full size needed in both cases.
//   - Handles are counted; using or closing a handle that is not open is reported through
//     sim::faults (on Windows closing an invalid kernel handle stops the system).
//   - RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, ...) creates the last key of the path if it
//     is missing, as Windows does (ZwCreateKey), but not missing keys above it: those give
//     STATUS_OBJECT_NAME_NOT_FOUND.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/rtl/text.hpp"

namespace sim::registry {

// NTSTATUS as the host side sees it (the kernel header's type is a 32-bit signed integer too).
using Status = int32_t;

// Value types (the REG_* values of the kernel headers).
inline constexpr uint32_t kRegNone = 0;
inline constexpr uint32_t kRegSz = 1;
inline constexpr uint32_t kRegExpandSz = 2;
inline constexpr uint32_t kRegBinary = 3;
inline constexpr uint32_t kRegDword = 4;
inline constexpr uint32_t kRegMultiSz = 7;
inline constexpr uint32_t kRegQword = 11;

// Paths used by most tests.
inline constexpr const char* kServicesKey =
    "\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services";

struct Value {
    std::string name; // UTF-8; empty for the default value
    uint32_t type = kRegNone;
    std::vector<uint8_t> data;

    bool operator==(const Value&) const = default;
};

// Thrown by the host API for a malformed path, and by the .reg import for a malformed file
// (the message carries the line number: "line 12: ...").
class RegistryError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class RegFileError : public RegistryError {
  public:
    RegFileError(size_t line, const std::string& what);
    // "file.reg:12: what"
    RegFileError(const std::string& source, size_t line, const std::string& what);
    size_t Line() const { return line_; }
    // The message without its position.
    const std::string& Detail() const { return detail_; }

  private:
    size_t line_;
    std::string detail_;
};

// ---- the whole tree ---------------------------------------------------------------------------
void Reset();

// ---- keys -------------------------------------------------------------------------------------
// Creates the key and every missing key above it (as regedit and the host API do; the kernel's
// RtlWriteRegistryValue does not create intermediate keys).
void CreateKey(std::string_view path);
bool KeyExists(std::string_view path);
// Deletes the key with everything below it; false when it did not exist. Handles still open on
// a deleted key see STATUS_KEY_DELETED, as on Windows.
bool DeleteKey(std::string_view path);
// Subkey names in enumeration order (the order ZwEnumerateKey gives).
std::vector<std::string> SubKeys(std::string_view path);

// ---- values -----------------------------------------------------------------------------------
// Setters create missing keys. A value name is case-insensitive; setting an existing value
// replaces its type and data and keeps its place and spelling.
void SetValue(std::string_view path, std::string_view name, uint32_t type,
              std::vector<uint8_t> data);
void SetDword(std::string_view path, std::string_view name, uint32_t value);
// REG_SZ (or REG_EXPAND_SZ with type = kRegExpandSz): UTF-16LE with its terminating zero.
void SetString(std::string_view path, std::string_view name, std::string_view utf8,
               uint32_t type = kRegSz);
// REG_MULTI_SZ: each string zero-terminated, then one more zero.
void SetMultiString(std::string_view path, std::string_view name,
                    const std::vector<std::string>& strings);
void SetBinary(std::string_view path, std::string_view name, std::vector<uint8_t> data);

std::optional<Value> GetValue(std::string_view path, std::string_view name);
// The value when it is REG_DWORD with 4 bytes of data; nullopt otherwise.
std::optional<uint32_t> GetDword(std::string_view path, std::string_view name);
// The text up to the first zero character when the value is REG_SZ or REG_EXPAND_SZ.
std::optional<std::string> GetString(std::string_view path, std::string_view name);
// The strings of a REG_MULTI_SZ value.
std::optional<std::vector<std::string>> GetMultiString(std::string_view path,
                                                       std::string_view name);
// Values in their stored order (the order they were first set).
std::vector<Value> Values(std::string_view path);
bool DeleteValue(std::string_view path, std::string_view name);

// ---- handles ----------------------------------------------------------------------------------
size_t OpenHandleCount();
// The full path of the key behind each open handle (for failure messages).
std::vector<std::string> OpenHandlePaths();

// ---- failure injection ------------------------------------------------------------------------
// Each applies to the key at `path` (whether or not it exists yet) until ClearFailures()/Reset().
void DenyOpen(std::string_view path); // ZwOpenKey and RtlWriteRegistryValue: ACCESS_DENIED
void FailOpen(std::string_view path, Status status);
void FailQueryKey(std::string_view path, Status status);
// ZwQueryKey's KeyFullInformation reports at most `bytes` as the key's MaxNameLen, as a query
// made before a longer subkey was added would have.
void UnderReportMaxNameLen(std::string_view path, uint32_t bytes);
void FailEnumerate(std::string_view path, uint32_t index, Status status);
void FailQueryValue(std::string_view path, std::string_view valueName, Status status);
void FailWrite(std::string_view path, std::string_view valueName, Status status);
void ClearFailures();

// ---- regedit files (reg_file.cpp) -------------------------------------------------------------
// Import applies the whole file or, when it has an error, nothing (RegFileError with the line).
// Accepts "REGEDIT4" and "Windows Registry Editor Version 5.00", UTF-8 with or without BOM and
// UTF-16LE with BOM.
void ImportRegFile(const std::filesystem::path& file);
void ImportRegText(std::string_view bytes);

enum class RegEncoding { Utf8, Utf16LE };
// Export writes the key at `path` and everything below it in regedit's 5.00 format: keys in
// enumeration order, CRLF line ends, hex data wrapped at 80 columns. UTF-16LE carries a BOM
// (as regedit writes it); UTF-8 does not.
std::string ExportRegText(std::string_view path, RegEncoding encoding = RegEncoding::Utf8);
void ExportRegFile(std::string_view path, const std::filesystem::path& file,
                   RegEncoding encoding = RegEncoding::Utf8);

// ---- text helpers -----------------------------------------------------------------------------
using text::Utf16ToUtf8;
using text::Utf8ToUtf16;
// The configuration manager's case-insensitive comparison: upper-cased UTF-16 code units.
int CompareNames(std::u16string_view a, std::u16string_view b);

} // namespace sim::registry
