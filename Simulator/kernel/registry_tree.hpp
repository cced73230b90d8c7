// The registry's internal tree, shared by the host API (registry.cpp), the kernel routines
// (zw_registry.cpp) and the regedit file reader and writer (reg_file.cpp). Not for tests: they
// use registry.hpp.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "registry.hpp"

namespace sim::registry::tree {

struct NameLess {
    using is_transparent = void;
    bool operator()(std::u16string_view a, std::u16string_view b) const
    {
        return CompareNames(a, b) < 0;
    }
};

struct ValueEntry {
    std::u16string name;
    uint32_t type = kRegNone;
    std::vector<uint8_t> data;
};

// One key. Subkeys are owned by their parent; a handle keeps its key alive after deletion (the
// key is then marked deleted and detached, as the configuration manager keeps a deleted key's
// control block until its last handle goes).
class Key : public std::enable_shared_from_this<Key> {
  public:
    explicit Key(std::u16string name, std::weak_ptr<Key> parent = {});

    const std::u16string& Name() const { return name_; }
    std::shared_ptr<Key> Parent() const { return parent_.lock(); }
    bool Deleted() const { return deleted_; }
    // "\REGISTRY\MACHINE\..." with the stored spelling of each name.
    std::u16string Path() const;

    // Subkeys in enumeration order.
    const std::map<std::u16string, std::shared_ptr<Key>, NameLess>& Subkeys() const
    {
        return subkeys_;
    }
    std::shared_ptr<Key> Subkey(std::u16string_view name) const;
    // The existing subkey of that name, or a new one.
    std::shared_ptr<Key> CreateSubkey(std::u16string_view name);
    // Deletes the subkey with its whole tree; false when there is none.
    bool DeleteSubkey(std::u16string_view name);
    // Marks this key and its tree deleted (used when the whole tree is replaced).
    void DetachAsDeleted();

    const std::vector<ValueEntry>& Values() const { return values_; }
    const ValueEntry* FindValue(std::u16string_view name) const;
    void SetValue(std::u16string_view name, uint32_t type, std::vector<uint8_t> data);
    bool DeleteValue(std::u16string_view name);

    int64_t LastWriteTime() const { return lastWriteTime_; }
    // The configuration manager's high-water marks, in bytes: they grow when a longer name or
    // larger data arrives and drop to 0 only when the last subkey (or value) goes.
    uint32_t MaxNameLen() const { return maxNameLen_; }
    uint32_t MaxValueNameLen() const { return maxValueNameLen_; }
    uint32_t MaxValueDataLen() const { return maxValueDataLen_; }

  private:
    void MarkDeleted();
    void Touch();

    std::u16string name_;
    std::weak_ptr<Key> parent_;
    std::map<std::u16string, std::shared_ptr<Key>, NameLess> subkeys_;
    std::vector<ValueEntry> values_;
    int64_t lastWriteTime_ = 0;
    uint32_t maxNameLen_ = 0;
    uint32_t maxValueNameLen_ = 0;
    uint32_t maxValueDataLen_ = 0;
    bool deleted_ = false;
};

// Key and value name limits of the configuration manager, in characters.
inline constexpr size_t kMaxKeyNameChars = 255;
inline constexpr size_t kMaxValueNameChars = 16383;
// Nesting limit of the configuration manager: a key lies at most 512 levels below \REGISTRY.
inline constexpr size_t kMaxKeyDepth = 512;

// Every access to the tree, the handle table and the failure table holds this lock.
std::recursive_mutex& Lock();

// The key "\REGISTRY".
std::shared_ptr<Key> Root();

// Splits a kernel-form absolute path ("\REGISTRY\MACHINE\...") into the names below \REGISTRY.
// Throws RegistryError for a path outside \REGISTRY, with an empty or over-long name in it, or
// deeper than kMaxKeyDepth.
std::vector<std::u16string> SplitKernelPath(std::u16string_view path);
// Host API paths: kernel form or regedit's root names (HKEY_LOCAL_MACHINE, HKLM, HKEY_USERS,
// HKU, HKEY_CLASSES_ROOT, HKCR, HKEY_CURRENT_CONFIG, HKCC) -> kernel form. Throws RegistryError.
std::u16string ToKernelPath(std::u16string_view path);
// Kernel form -> regedit form ("HKEY_LOCAL_MACHINE\..."); throws RegistryError for a key that
// has no regedit name (\REGISTRY itself).
std::u16string ToRegeditPath(std::u16string_view kernelPath);

// Looks a key up by host path; null when absent.
std::shared_ptr<Key> Find(std::u16string_view hostPath);
// Creates the key and the missing keys above it.
std::shared_ptr<Key> Create(std::u16string_view hostPath);

// Failure injection, keyed by the upper-cased kernel path of the key. Deny makes every open of
// the key fail with STATUS_ACCESS_DENIED (ZwOpenKey and the create inside
// RtlWriteRegistryValue); Open fails ZwOpenKey only.
enum class Operation { Deny, Open, QueryKey, Enumerate, QueryValue, Write };
void InjectFailure(Operation op, std::u16string_view kernelPath, std::u16string_view name,
                   Status status);
// The injected status for this operation on this key (and value name, or enumeration index
// written as decimal text), if any. Asking for Open also finds a Deny entry.
std::optional<Status> InjectedFailure(Operation op, std::u16string_view kernelPath,
                                      std::u16string_view name = {});
void ClearFailures();

// Handles: what each open handle refers to.
struct HandleEntry {
    std::shared_ptr<Key> key;
    uint32_t grantedAccess = 0;
    std::u16string path; // as it was when opened
};
uintptr_t AddHandle(std::shared_ptr<Key> key, uint32_t grantedAccess, bool kernelHandle);
std::optional<HandleEntry> LookupHandle(uintptr_t handle);
bool RemoveHandle(uintptr_t handle);
void CloseAllHandles();
std::vector<std::u16string> HandlePaths();

// Replaces the tree with the keys of a fresh system.
void ResetTree();

// Current time as a FILETIME count (100 ns units since 1601), for LastWriteTime.
int64_t Now();

} // namespace sim::registry::tree
