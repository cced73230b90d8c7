// Registry paths: splitting the kernel's form into key names, and converting between it and
// regedit's root names.
#include "kernel/registry/paths.hpp"

#include "kernel/registry/names.hpp"
#include "kernel/registry/tree.hpp"

namespace sim::registry::tree {
namespace {

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

std::optional<std::u16string_view> RootKeyPath(std::u16string_view rootName, bool abbreviations)
{
    struct Root {
        std::u16string_view name;
        std::u16string_view kernel;
        bool abbreviation;
    };
    static constexpr Root kRoots[] = {
        {u"HKEY_LOCAL_MACHINE", u"\\REGISTRY\\MACHINE", false},
        {u"HKLM", u"\\REGISTRY\\MACHINE", true},
        {u"HKEY_USERS", u"\\REGISTRY\\USER", false},
        {u"HKU", u"\\REGISTRY\\USER", true},
        {u"HKEY_CLASSES_ROOT", u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes", false},
        {u"HKCR", u"\\REGISTRY\\MACHINE\\SOFTWARE\\Classes", true},
        {u"HKEY_CURRENT_CONFIG",
         u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current", false},
        {u"HKCC", u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current",
         true},
    };
    for (const auto& root : kRoots)
        if ((abbreviations || !root.abbreviation) && EqualNames(rootName, root.name))
            return root.kernel;
    return std::nullopt;
}

std::u16string ToKernelPath(std::u16string_view path)
{
    if (!path.empty() && path[0] == u'\\')
        return std::u16string(path);
    const size_t split = path.find(u'\\');
    const auto root = RootKeyPath(path.substr(0, split), true);
    if (!root)
        throw RegistryError("unknown registry root in path: " + Utf16ToUtf8(path));
    std::u16string kernel(*root);
    if (split != std::u16string_view::npos)
        kernel += path.substr(split);
    return kernel;
}

std::u16string ToKernelPath(std::string_view utf8Path)
{
    return ToKernelPath(Utf8ToUtf16(utf8Path));
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

} // namespace sim::registry::tree
