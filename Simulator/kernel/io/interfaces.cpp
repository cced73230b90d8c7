// The simulated I/O manager's device interfaces: registration, state, properties, and the
// queries tests make about them.
#include "kernel/io/io_manager.hpp"

#include <algorithm>
#include <cstring>

#include "kernel/io/internal.hpp"
#include "kernel/io/objects.hpp"
#include "sim_ntddk.h"

namespace sim::io {

using namespace objects;
using internal::CanonicalLinkName;
using internal::FoldCase;

const InterfaceProperty* InterfaceInfo::Property(const DEVPROPKEY& key) const
{
    for (const auto& property : properties)
        if (std::memcmp(&property.key.fmtid, &key.fmtid, sizeof(GUID)) == 0 &&
            property.key.pid == key.pid)
            return &property;
    return nullptr;
}

std::vector<InterfaceInfo> Interfaces()
{
    State& s = S();
    std::lock_guard guard(s.mutex);
    std::vector<InterfaceInfo> out;
    for (auto& [key, record] : s.interfaces)
        out.push_back(record.info);
    return out;
}

std::optional<InterfaceInfo> FindInterface(std::u16string_view name)
{
    State& s = S();
    std::lock_guard guard(s.mutex);
    auto it = s.interfaces.find(FoldCase(CanonicalLinkName(name)));
    if (it == s.interfaces.end())
        return std::nullopt;
    return it->second.info;
}

void DisableInterfacesOf(PDEVICE_OBJECT pdo)
{
    State& s = S();
    std::lock_guard guard(s.mutex);
    for (auto& [key, record] : s.interfaces) {
        if (record.info.pdo == pdo && record.info.enabled) {
            record.info.enabled = false;
            record.info.disabledBySystem = true;
            ++record.info.disableCount;
        }
    }
}

} // namespace sim::io

using namespace sim::io;
using namespace sim::io::objects;
using sim::io::internal::CanonicalLinkName;
using sim::io::internal::CheckIrql;
using sim::io::internal::FoldCase;

// Pool tag of the interface names the I/O manager hands out (freed by RtlFreeUnicodeString).
static constexpr ULONG kInterfaceNameTag = 'I' | ('o' << 8) | ('S' << 16) | ('y' << 24);

NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                         const GUID* InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString,
                                         PUNICODE_STRING SymbolicLinkName)
{
    CheckIrql("IoRegisterDeviceInterface", PASSIVE_LEVEL);
    if (auto failure = TakeFailure(Routine::RegisterDeviceInterface))
        return *failure;
    if (InterfaceClassGuid == nullptr || SymbolicLinkName == nullptr)
        return STATUS_INVALID_PARAMETER;

    std::u16string name;
    {
        State& s = S();
        std::lock_guard guard(s.mutex);
        DeviceRecord* pdo = FindRecord(s, PhysicalDeviceObject);
        // Only a device enumerated by the PnP manager (a PDO) has an instance path.
        if (pdo == nullptr || pdo->deleted || pdo->instancePath.empty())
            return STATUS_INVALID_DEVICE_REQUEST;
        std::u16string instance = pdo->instancePath;
        std::replace(instance.begin(), instance.end(), u'\\', u'#');
        name = u"\\??\\" + instance + u"#" + GuidText(*InterfaceClassGuid);
        if (ReferenceString != nullptr && ReferenceString->Length != 0)
            name += u"\\" + ToU16(*ReferenceString);
        const std::u16string key = FoldCase(name);
        if (s.interfaces.count(key) == 0) {
            InterfaceInfo info{};
            info.name = name;
            info.classGuid = *InterfaceClassGuid;
            info.pdo = PhysicalDeviceObject;
            s.interfaces[key] = {info};
        }
    }

    const size_t bytes = name.size() * 2;
    auto* buffer =
        static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes + 2, kInterfaceNameTag));
    if (buffer == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(buffer, name.data(), bytes);
    buffer[name.size()] = 0;
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = static_cast<USHORT>(bytes);
    SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes + 2);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable)
{
    CheckIrql("IoSetDeviceInterfaceState", PASSIVE_LEVEL);
    if (auto failure =
            TakeFailure(Enable ? Routine::EnableDeviceInterface : Routine::DisableDeviceInterface))
        return *failure;
    if (SymbolicLinkName == nullptr || SymbolicLinkName->Buffer == nullptr)
        return STATUS_INVALID_PARAMETER;
    State& s = S();
    std::lock_guard guard(s.mutex);
    auto it = s.interfaces.find(FoldCase(CanonicalLinkName(ToU16(*SymbolicLinkName))));
    if (it == s.interfaces.end())
        return STATUS_OBJECT_NAME_NOT_FOUND;
    InterfaceInfo& info = it->second.info;
    if (Enable) {
        if (info.enabled)
            return STATUS_OBJECT_NAME_EXISTS;
        info.enabled = true;
        info.disabledBySystem = false;
        ++info.enableCount;
    } else if (info.enabled) {
        // Disabling an interface that is registered but not enabled succeeds and changes nothing.
        info.enabled = false;
        ++info.disableCount;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoSetDeviceInterfacePropertyData(PUNICODE_STRING SymbolicLinkName,
                                                const DEVPROPKEY* PropertyKey, ULONG Lcid,
                                                ULONG Flags, DEVPROPTYPE Type, ULONG Size,
                                                PVOID Data)
{
    CheckIrql("IoSetDeviceInterfacePropertyData", PASSIVE_LEVEL);
    if (auto failure = TakeFailure(Routine::SetDeviceInterfaceProperty))
        return *failure;
    if (SymbolicLinkName == nullptr || SymbolicLinkName->Buffer == nullptr ||
        PropertyKey == nullptr || (Size != 0 && Data == nullptr))
        return STATUS_INVALID_PARAMETER;
    constexpr DEVPROPTYPE kEmpty = 0;
    if (Type == DEVPROP_TYPE_BOOLEAN && Size != 1)
        return STATUS_INVALID_PARAMETER;
    State& s = S();
    std::lock_guard guard(s.mutex);
    auto it = s.interfaces.find(FoldCase(CanonicalLinkName(ToU16(*SymbolicLinkName))));
    if (it == s.interfaces.end())
        return STATUS_OBJECT_NAME_NOT_FOUND;
    auto& properties = it->second.info.properties;
    std::erase_if(properties, [PropertyKey, Lcid](const InterfaceProperty& p) {
        return std::memcmp(&p.key.fmtid, &PropertyKey->fmtid, sizeof(GUID)) == 0 &&
               p.key.pid == PropertyKey->pid && p.lcid == Lcid;
    });
    if (Type != kEmpty) {
        const auto* bytes = static_cast<const uint8_t*>(Data);
        properties.push_back(
            {*PropertyKey, Lcid, Flags, Type, std::vector<uint8_t>(bytes, bytes + Size)});
    }
    return STATUS_SUCCESS;
}
