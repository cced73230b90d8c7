// The registry's internal tree of keys and values, shared by the host API (registry.cpp), the
// kernel routines (zw_registry.cpp) and the regedit file reader and writer (reg_file.cpp). Not
// for tests: they use registry.hpp. Names, paths, handles and injected failures have headers of
// their own beside this one.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kernel/registry/registry.hpp"

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
    // The subkey at enumeration position `index`, or null past the end. Positions asked for in
    // increasing order (as a driver enumerates 0, 1, 2, ...) cost one step each.
    const Key* SubkeyAt(size_t index) const;
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
    // Where SubkeyAt last stopped; forgotten whenever a subkey comes or goes.
    mutable std::optional<std::pair<size_t, decltype(subkeys_)::const_iterator>> cursor_;
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

// Looks a key up by host path; null when absent.
std::shared_ptr<Key> Find(std::u16string_view hostPath);
// Creates the key and the missing keys above it.
std::shared_ptr<Key> Create(std::u16string_view hostPath);

// Replaces the tree with the keys of a fresh system.
void ResetTree();

// Current time as a FILETIME count (100 ns units since 1601), for LastWriteTime.
int64_t Now();

} // namespace sim::registry::tree
