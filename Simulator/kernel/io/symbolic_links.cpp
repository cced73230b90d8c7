// The simulated I/O manager's symbolic links: the link name aliases, creation and deletion, and
// the queries tests make about them.
#include "kernel/io/io_manager.hpp"

#include "kernel/io/internal.hpp"
#include "kernel/io/objects.hpp"
#include "sim_ntddk.h"

namespace sim::io {

using namespace objects;
using internal::FoldCase;

namespace internal {

std::u16string CanonicalLinkName(std::u16string_view name)
{
    static constexpr std::u16string_view kAliases[] = {u"\\DosDevices\\", u"\\GLOBAL??\\",
                                                       u"\\\\.\\", u"\\\\?\\", u"\\??\\"};
    const std::u16string folded = FoldCase(name);
    for (std::u16string_view alias : kAliases) {
        const std::u16string foldedAlias = FoldCase(alias);
        if (folded.starts_with(foldedAlias))
            return u"\\??\\" + std::u16string(name.substr(alias.size()));
    }
    return std::u16string(name);
}

} // namespace internal

using internal::CanonicalLinkName;

std::vector<SymbolicLink> SymbolicLinks()
{
    State& s = S();
    std::lock_guard guard(s.mutex);
    std::vector<SymbolicLink> out;
    for (auto& [key, link] : s.links)
        out.push_back(link);
    return out;
}

std::optional<std::u16string> SymbolicLinkTarget(std::u16string_view link)
{
    State& s = S();
    std::lock_guard guard(s.mutex);
    auto it = s.links.find(FoldCase(CanonicalLinkName(link)));
    if (it == s.links.end())
        return std::nullopt;
    return it->second.target;
}

} // namespace sim::io

using namespace sim::io;
using namespace sim::io::objects;
using sim::io::internal::CanonicalLinkName;
using sim::io::internal::CheckIrql;
using sim::io::internal::FoldCase;

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName)
{
    CheckIrql("IoCreateSymbolicLink", PASSIVE_LEVEL);
    if (auto failure = TakeFailure(Routine::CreateSymbolicLink))
        return *failure;
    if (!ValidName(SymbolicLinkName) || !ValidName(DeviceName))
        return STATUS_OBJECT_NAME_INVALID;
    State& s = S();
    std::lock_guard guard(s.mutex);
    const std::u16string name = CanonicalLinkName(ToU16(*SymbolicLinkName));
    const std::u16string key = FoldCase(name);
    if (s.links.count(key) != 0 || s.interfaces.count(key) != 0)
        return STATUS_OBJECT_NAME_COLLISION;
    // A link may name a device that does not exist (yet); opening it then fails.
    s.links[key] = {name, ToU16(*DeviceName)};
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName)
{
    CheckIrql("IoDeleteSymbolicLink", PASSIVE_LEVEL);
    if (auto failure = TakeFailure(Routine::DeleteSymbolicLink))
        return *failure;
    if (!ValidName(SymbolicLinkName))
        return STATUS_OBJECT_NAME_INVALID;
    State& s = S();
    std::lock_guard guard(s.mutex);
    const std::u16string key = FoldCase(CanonicalLinkName(ToU16(*SymbolicLinkName)));
    if (s.links.erase(key) == 0)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    return STATUS_SUCCESS;
}
