// The registry's host API for keys and values (registry.hpp): what tests and the simulated
// machine use to prepare and inspect the tree.
#include <mutex>

#include "kernel/registry/failures.hpp"
#include "kernel/registry/handles.hpp"
#include "kernel/registry/paths.hpp"
#include "kernel/registry/tree.hpp"

namespace sim::registry {

namespace {

std::u16string U16(std::string_view utf8)
{
    return Utf8ToUtf16(utf8);
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
    const auto names = tree::SplitKernelPath(tree::ToKernelPath(path));
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

} // namespace sim::registry
