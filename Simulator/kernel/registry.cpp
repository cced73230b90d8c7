// The registry tree, its handle and failure tables, and the host API of registry.hpp.
#include <algorithm>
#include <chrono>

#include "registry_tree.hpp"
#include "sim_ntddk.h"

namespace sim::registry {

namespace {

// The system's upper-case table for the scripts a key name is likely to use: ASCII, Latin-1,
// Latin Extended-A, Greek, Cyrillic and the full-width Latin letters. Code units elsewhere
// compare as they are.
char16_t Upcase(char16_t c)
{
    if (c < 0x80)
        return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7)
        return static_cast<char16_t>(c - 0x20);
    if (c == 0xFF)
        return 0x178;
    if (c >= 0x100 && c <= 0x17F) {
        // Pairs: upper case on the even unit, except in 0x139-0x148 and 0x179-0x17E where the
        // upper case is the odd unit. 0x138 and 0x149 have no upper case.
        const bool oddUpper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if (c == 0x138 || c == 0x149 || c == 0x17F)
            return c;
        if (oddUpper)
            return (c % 2 == 0) ? static_cast<char16_t>(c - 1) : c;
        return (c % 2 == 1) ? static_cast<char16_t>(c - 1) : c;
    }
    if (c >= 0x3B1 && c <= 0x3CB && c != 0x3C2)
        return static_cast<char16_t>(c - 0x20);
    if (c == 0x3C2)
        return 0x3A3;
    if (c >= 0x430 && c <= 0x44F)
        return static_cast<char16_t>(c - 0x20);
    if (c >= 0x450 && c <= 0x45F)
        return static_cast<char16_t>(c - 0x50);
    if (c >= 0xFF41 && c <= 0xFF5A)
        return static_cast<char16_t>(c - 0x20);
    return c;
}

std::u16string UpcaseString(std::u16string_view s)
{
    std::u16string out(s);
    for (auto& c : out)
        c = Upcase(c);
    return out;
}

bool EqualNames(std::u16string_view a, std::u16string_view b)
{
    return a.size() == b.size() && CompareNames(a, b) == 0;
}

} // namespace

int CompareNames(std::u16string_view a, std::u16string_view b)
{
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const char16_t ua = Upcase(a[i]);
        const char16_t ub = Upcase(b[i]);
        if (ua != ub)
            return ua < ub ? -1 : 1;
    }
    if (a.size() == b.size())
        return 0;
    return a.size() < b.size() ? -1 : 1;
}

RegFileError::RegFileError(size_t line, const std::string& what)
    : RegistryError("line " + std::to_string(line) + ": " + what), line_(line), detail_(what)
{
}

RegFileError::RegFileError(const std::string& source, size_t line, const std::string& what)
    : RegistryError(source + ":" + std::to_string(line) + ": " + what), line_(line), detail_(what)
{
}

// ---- the tree -------------------------------------------------------------------------------
namespace tree {

Key::Key(std::u16string name, std::weak_ptr<Key> parent)
    : name_(std::move(name)), parent_(std::move(parent)), lastWriteTime_(Now())
{
}

std::u16string Key::Path() const
{
    std::vector<const Key*> chain;
    for (const Key* k = this; k != nullptr;) {
        chain.push_back(k);
        auto parent = k->parent_.lock();
        k = parent.get();
    }
    std::u16string path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        path += u'\\';
        path += (*it)->name_;
    }
    return path;
}

std::shared_ptr<Key> Key::Subkey(std::u16string_view name) const
{
    auto it = subkeys_.find(name);
    return it == subkeys_.end() ? nullptr : it->second;
}

std::shared_ptr<Key> Key::CreateSubkey(std::u16string_view name)
{
    if (auto existing = Subkey(name))
        return existing;
    auto child = std::make_shared<Key>(std::u16string(name), weak_from_this());
    subkeys_.emplace(std::u16string(name), child);
    maxNameLen_ = std::max<uint32_t>(maxNameLen_, static_cast<uint32_t>(name.size() * 2));
    Touch();
    return child;
}

bool Key::DeleteSubkey(std::u16string_view name)
{
    auto it = subkeys_.find(name);
    if (it == subkeys_.end())
        return false;
    it->second->MarkDeleted();
    subkeys_.erase(it);
    if (subkeys_.empty())
        maxNameLen_ = 0;
    Touch();
    return true;
}

void Key::DetachAsDeleted()
{
    MarkDeleted();
}

void Key::MarkDeleted()
{
    for (auto& [name, child] : subkeys_)
        child->MarkDeleted();
    deleted_ = true;
}

const ValueEntry* Key::FindValue(std::u16string_view name) const
{
    for (const auto& value : values_)
        if (EqualNames(value.name, name))
            return &value;
    return nullptr;
}

void Key::SetValue(std::u16string_view name, uint32_t type, std::vector<uint8_t> data)
{
    const auto dataLength = static_cast<uint32_t>(data.size());
    auto it = std::find_if(values_.begin(), values_.end(),
                           [&](const ValueEntry& v) { return EqualNames(v.name, name); });
    if (it != values_.end()) {
        it->type = type;
        it->data = std::move(data);
    } else {
        values_.push_back(ValueEntry{std::u16string(name), type, std::move(data)});
    }
    maxValueNameLen_ = std::max<uint32_t>(maxValueNameLen_, static_cast<uint32_t>(name.size() * 2));
    maxValueDataLen_ = std::max(maxValueDataLen_, dataLength);
    Touch();
}

bool Key::DeleteValue(std::u16string_view name)
{
    auto it = std::find_if(values_.begin(), values_.end(),
                           [&](const ValueEntry& v) { return EqualNames(v.name, name); });
    if (it == values_.end())
        return false;
    values_.erase(it);
    if (values_.empty()) {
        maxValueNameLen_ = 0;
        maxValueDataLen_ = 0;
    }
    Touch();
    return true;
}

void Key::Touch()
{
    lastWriteTime_ = Now();
}

int64_t Now()
{
    // FILETIME epoch (1601-01-01) to the Unix epoch, in 100 ns units.
    constexpr int64_t kEpochDifference = 116444736000000000LL;
    const auto sinceUnix = std::chrono::system_clock::now().time_since_epoch();
    return kEpochDifference +
           std::chrono::duration_cast<std::chrono::nanoseconds>(sinceUnix).count() / 100;
}

namespace {

struct State {
    std::recursive_mutex lock;
    std::shared_ptr<Key> root;
    std::map<uintptr_t, HandleEntry> handles;
    uintptr_t nextHandle = 1;
    std::map<std::tuple<Operation, std::u16string, std::u16string>, Status> failures;
};

State& TheState()
{
    static State state;
    return state;
}

std::shared_ptr<Key> FreshTree()
{
    auto root = std::make_shared<Key>(u"REGISTRY");
    auto machine = root->CreateSubkey(u"MACHINE");
    machine->CreateSubkey(u"HARDWARE")->CreateSubkey(u"DEVICEMAP");
    machine->CreateSubkey(u"SOFTWARE");
    auto controlSet = machine->CreateSubkey(u"SYSTEM")->CreateSubkey(u"CurrentControlSet");
    controlSet->CreateSubkey(u"Control");
    controlSet->CreateSubkey(u"Services");
    root->CreateSubkey(u"USER")->CreateSubkey(u".DEFAULT");
    return root;
}

std::u16string FailureKey(std::u16string_view kernelPath)
{
    return UpcaseString(kernelPath);
}

bool StartsWithName(std::u16string_view path, std::u16string_view name, size_t& rest)
{
    if (path.size() < name.size() || !EqualNames(path.substr(0, name.size()), name))
        return false;
    if (path.size() == name.size()) {
        rest = path.size();
        return true;
    }
    if (path[name.size()] != u'\\')
        return false;
    rest = name.size();
    return true;
}

} // namespace

std::recursive_mutex& Lock()
{
    return TheState().lock;
}

std::shared_ptr<Key> Root()
{
    auto& state = TheState();
    std::lock_guard guard(state.lock);
    if (!state.root)
        state.root = FreshTree();
    return state.root;
}

std::vector<std::u16string> SplitKernelPath(std::u16string_view path)
{
    size_t rest = 0;
    if (path.empty() || path[0] != u'\\' || !StartsWithName(path.substr(1), u"REGISTRY", rest))
        throw RegistryError("not a registry path: " + Utf16ToUtf8(path));
    std::u16string_view tail = path.substr(1 + rest);
    // A single trailing separator is accepted.
    if (!tail.empty() && tail.back() == u'\\')
        tail.remove_suffix(1);
    std::vector<std::u16string> names;
    while (!tail.empty()) {
        tail.remove_prefix(1); // the separator
        const size_t end = tail.find(u'\\');
        const std::u16string_view name = tail.substr(0, end);
        if (name.empty())
            throw RegistryError("empty key name in path: " + Utf16ToUtf8(path));
        if (name.size() > kMaxKeyNameChars)
            throw RegistryError("key name longer than 255 characters in path: " +
                                Utf16ToUtf8(path));
        if (names.size() == kMaxKeyDepth)
            throw RegistryError("key path more than " + std::to_string(kMaxKeyDepth) +
                                " levels deep");
        names.emplace_back(name);
        tail = end == std::u16string_view::npos ? std::u16string_view{} : tail.substr(end);
    }
    return names;
}

std::u16string ToKernelPath(std::u16string_view path)
{
    struct Alias {
        std::u16string_view name;
        std::u16string_view kernel;
    };
    static constexpr Alias kAliases[] = {
        {u"HKEY_LOCAL_MACHINE", u"\\REGISTRY\\MACHINE"},
        {u"HKLM", u"\\REGISTRY\\MACHINE"},
        {u"HKEY_USERS", u"\\REGISTRY\\USER"},
        {u"HKU", u"\\REGISTRY\\USER"},
        {u"HKEY_CLASSES_ROOT", u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes"},
        {u"HKCR", u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes"},
        {u"HKEY_CURRENT_CONFIG",
         u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current"},
        {u"HKCC", u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current"},
    };
    if (!path.empty() && path[0] == u'\\')
        return std::u16string(path);
    for (const auto& alias : kAliases) {
        size_t rest = 0;
        if (StartsWithName(path, alias.name, rest))
            return std::u16string(alias.kernel) + std::u16string(path.substr(rest));
    }
    throw RegistryError("unknown registry root in path: " + Utf16ToUtf8(path));
}

std::u16string ToRegeditPath(std::u16string_view kernelPath)
{
    const auto names = SplitKernelPath(kernelPath);
    if (names.empty())
        throw RegistryError("\\REGISTRY has no regedit name");
    std::u16string out;
    if (EqualNames(names[0], u"MACHINE"))
        out = u"HKEY_LOCAL_MACHINE";
    else if (EqualNames(names[0], u"USER"))
        out = u"HKEY_USERS";
    else
        throw RegistryError("no regedit name for " + Utf16ToUtf8(kernelPath));
    for (size_t i = 1; i < names.size(); ++i)
        out += u"\\" + names[i];
    return out;
}

std::shared_ptr<Key> Find(std::u16string_view hostPath)
{
    std::lock_guard guard(Lock());
    auto key = Root();
    for (const auto& name : SplitKernelPath(ToKernelPath(hostPath))) {
        key = key->Subkey(name);
        if (!key)
            return nullptr;
    }
    return key;
}

std::shared_ptr<Key> Create(std::u16string_view hostPath)
{
    std::lock_guard guard(Lock());
    auto key = Root();
    for (const auto& name : SplitKernelPath(ToKernelPath(hostPath)))
        key = key->CreateSubkey(name);
    return key;
}

void InjectFailure(Operation op, std::u16string_view kernelPath, std::u16string_view name,
                   Status status)
{
    auto& state = TheState();
    std::lock_guard guard(state.lock);
    state.failures[{op, FailureKey(kernelPath), UpcaseString(name)}] = status;
}

std::optional<Status> InjectedFailure(Operation op, std::u16string_view kernelPath,
                                      std::u16string_view name)
{
    auto& state = TheState();
    std::lock_guard guard(state.lock);
    if (state.failures.empty())
        return std::nullopt;
    const auto path = FailureKey(kernelPath);
    if (op == Operation::Open) {
        auto deny = state.failures.find({Operation::Deny, path, u""});
        if (deny != state.failures.end())
            return deny->second;
    }
    auto it = state.failures.find({op, path, UpcaseString(name)});
    if (it == state.failures.end())
        return std::nullopt;
    return it->second;
}

void ClearFailures()
{
    auto& state = TheState();
    std::lock_guard guard(state.lock);
    state.failures.clear();
}

uintptr_t AddHandle(std::shared_ptr<Key> key, uint32_t grantedAccess, bool kernelHandle)
{
    auto& state = TheState();
    std::lock_guard guard(state.lock);
    // Handle values are multiples of 4, kernel handles with the top bit of a 32-bit handle set,
    // as on x86 Windows. Values are not reused, so a stale handle is always caught.
    const uintptr_t value = (kernelHandle ? 0x80000000u : 0u) + state.nextHandle++ * 4;
    auto path = key->Path();
    state.handles.emplace(value, HandleEntry{std::move(key), grantedAccess, std::move(path)});
    return value;
}

std::optional<HandleEntry> LookupHandle(uintptr_t handle)
{
    auto& state = TheState();
    std::lock_guard guard(state.lock);
    auto it = state.handles.find(handle);
    if (it == state.handles.end())
        return std::nullopt;
    return it->second;
}

bool RemoveHandle(uintptr_t handle)
{
    auto& state = TheState();
    std::lock_guard guard(state.lock);
    return state.handles.erase(handle) != 0;
}

std::vector<std::u16string> HandlePaths()
{
    auto& state = TheState();
    std::lock_guard guard(state.lock);
    std::vector<std::u16string> paths;
    for (const auto& [value, entry] : state.handles)
        paths.push_back(entry.path);
    return paths;
}

void ResetTree()
{
    auto& state = TheState();
    std::lock_guard guard(state.lock);
    // Keys of the old tree that something still holds are marked deleted, so they cannot be
    // mistaken for live keys of the new one.
    if (state.root)
        state.root->DetachAsDeleted();
    state.root = FreshTree();
}

void CloseAllHandles()
{
    auto& state = TheState();
    std::lock_guard guard(state.lock);
    state.handles.clear();
    state.nextHandle = 1;
}

} // namespace tree

// ---- host API -------------------------------------------------------------------------------
namespace {

using tree::Key;

std::u16string U16(std::string_view utf8)
{
    return Utf8ToUtf16(utf8);
}

std::u16string KernelPath(std::string_view path)
{
    return tree::ToKernelPath(U16(path));
}

std::vector<uint8_t> Utf16Bytes(std::u16string_view text, bool terminate)
{
    std::vector<uint8_t> bytes;
    bytes.reserve((text.size() + 1) * 2);
    for (char16_t c : text) {
        bytes.push_back(static_cast<uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<uint8_t>(c >> 8));
    }
    if (terminate) {
        bytes.push_back(0);
        bytes.push_back(0);
    }
    return bytes;
}

std::u16string BytesToUtf16(const std::vector<uint8_t>& data)
{
    std::u16string text;
    for (size_t i = 0; i + 1 < data.size(); i += 2)
        text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    return text;
}

void CheckValueName(std::u16string_view name)
{
    if (name.size() > tree::kMaxValueNameChars)
        throw RegistryError("value name longer than 16383 characters");
}

} // namespace

void Reset()
{
    std::lock_guard guard(tree::Lock());
    tree::CloseAllHandles();
    tree::ClearFailures();
    tree::ResetTree();
}

void CreateKey(std::string_view path)
{
    tree::Create(U16(path));
}

bool KeyExists(std::string_view path)
{
    return tree::Find(U16(path)) != nullptr;
}

bool DeleteKey(std::string_view path)
{
    std::lock_guard guard(tree::Lock());
    const auto names = tree::SplitKernelPath(KernelPath(path));
    if (names.empty())
        throw RegistryError("\\REGISTRY cannot be deleted");
    auto key = tree::Root();
    for (size_t i = 0; i + 1 < names.size(); ++i) {
        key = key->Subkey(names[i]);
        if (!key)
            return false;
    }
    return key->DeleteSubkey(names.back());
}

std::vector<std::string> SubKeys(std::string_view path)
{
    std::lock_guard guard(tree::Lock());
    std::vector<std::string> names;
    if (auto key = tree::Find(U16(path)))
        for (const auto& [name, child] : key->Subkeys())
            names.push_back(Utf16ToUtf8(child->Name()));
    return names;
}

void SetValue(std::string_view path, std::string_view name, uint32_t type,
              std::vector<uint8_t> data)
{
    std::lock_guard guard(tree::Lock());
    const auto valueName = U16(name);
    CheckValueName(valueName);
    tree::Create(U16(path))->SetValue(valueName, type, std::move(data));
}

void SetDword(std::string_view path, std::string_view name, uint32_t value)
{
    SetValue(path, name, kRegDword,
             {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
              static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)});
}

void SetString(std::string_view path, std::string_view name, std::string_view utf8, uint32_t type)
{
    SetValue(path, name, type, Utf16Bytes(U16(utf8), true));
}

void SetMultiString(std::string_view path, std::string_view name,
                    const std::vector<std::string>& strings)
{
    std::vector<uint8_t> data;
    for (const auto& s : strings) {
        auto bytes = Utf16Bytes(U16(s), true);
        data.insert(data.end(), bytes.begin(), bytes.end());
    }
    data.push_back(0);
    data.push_back(0);
    SetValue(path, name, kRegMultiSz, std::move(data));
}

void SetBinary(std::string_view path, std::string_view name, std::vector<uint8_t> data)
{
    SetValue(path, name, kRegBinary, std::move(data));
}

std::optional<Value> GetValue(std::string_view path, std::string_view name)
{
    std::lock_guard guard(tree::Lock());
    auto key = tree::Find(U16(path));
    if (!key)
        return std::nullopt;
    const auto* value = key->FindValue(U16(name));
    if (!value)
        return std::nullopt;
    return Value{Utf16ToUtf8(value->name), value->type, value->data};
}

std::optional<uint32_t> GetDword(std::string_view path, std::string_view name)
{
    auto value = GetValue(path, name);
    if (!value || value->type != kRegDword || value->data.size() != 4)
        return std::nullopt;
    const auto& d = value->data;
    return static_cast<uint32_t>(d[0] | (d[1] << 8) | (d[2] << 16) |
                                 (static_cast<uint32_t>(d[3]) << 24));
}

std::optional<std::string> GetString(std::string_view path, std::string_view name)
{
    auto value = GetValue(path, name);
    if (!value || (value->type != kRegSz && value->type != kRegExpandSz))
        return std::nullopt;
    auto text = BytesToUtf16(value->data);
    if (auto end = text.find(u'\0'); end != std::u16string::npos)
        text.resize(end);
    return Utf16ToUtf8(text);
}

std::optional<std::vector<std::string>> GetMultiString(std::string_view path, std::string_view name)
{
    auto value = GetValue(path, name);
    if (!value || value->type != kRegMultiSz)
        return std::nullopt;
    const auto text = BytesToUtf16(value->data);
    std::vector<std::string> strings;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(u'\0', start);
        if (end == std::u16string::npos)
            end = text.size();
        if (end == start)
            break; // the closing empty string
        strings.push_back(Utf16ToUtf8(std::u16string_view(text).substr(start, end - start)));
        start = end + 1;
    }
    return strings;
}

std::vector<Value> Values(std::string_view path)
{
    std::lock_guard guard(tree::Lock());
    std::vector<Value> values;
    if (auto key = tree::Find(U16(path)))
        for (const auto& v : key->Values())
            values.push_back(Value{Utf16ToUtf8(v.name), v.type, v.data});
    return values;
}

bool DeleteValue(std::string_view path, std::string_view name)
{
    std::lock_guard guard(tree::Lock());
    auto key = tree::Find(U16(path));
    return key && key->DeleteValue(U16(name));
}

size_t OpenHandleCount()
{
    return tree::HandlePaths().size();
}

std::vector<std::string> OpenHandlePaths()
{
    std::vector<std::string> paths;
    for (const auto& path : tree::HandlePaths())
        paths.push_back(Utf16ToUtf8(path));
    return paths;
}

void DenyOpen(std::string_view path)
{
    tree::InjectFailure(tree::Operation::Deny, KernelPath(path), u"", STATUS_ACCESS_DENIED);
}

void FailOpen(std::string_view path, Status status)
{
    tree::InjectFailure(tree::Operation::Open, KernelPath(path), u"", status);
}

void FailQueryKey(std::string_view path, Status status)
{
    tree::InjectFailure(tree::Operation::QueryKey, KernelPath(path), u"", status);
}

void FailEnumerate(std::string_view path, uint32_t index, Status status)
{
    tree::InjectFailure(tree::Operation::Enumerate, KernelPath(path), U16(std::to_string(index)),
                        status);
}

void FailQueryValue(std::string_view path, std::string_view valueName, Status status)
{
    tree::InjectFailure(tree::Operation::QueryValue, KernelPath(path), U16(valueName), status);
}

void FailWrite(std::string_view path, std::string_view valueName, Status status)
{
    tree::InjectFailure(tree::Operation::Write, KernelPath(path), U16(valueName), status);
}

void ClearFailures()
{
    tree::ClearFailures();
}

} // namespace sim::registry
