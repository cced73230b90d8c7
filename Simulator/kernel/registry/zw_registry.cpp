// The configuration manager as a driver calls it: ZwOpenKey, ZwQueryKey, ZwEnumerateKey,
// ZwQueryValueKey, ZwClose and RtlWriteRegistryValue over the simulated registry tree.
//
// The information classes are filled with the configuration manager's rules, for every class:
//   - *ResultLength always receives the full size the answer needs (fixed part, name, data and
//     the alignment padding before the data), whatever the outcome of the size checks.
//   - Length below the fixed part (the offset of the first variable field) gives
//     STATUS_BUFFER_TOO_SMALL and nothing is written to the buffer. Length 0 with a NULL buffer
//     is the usual way to ask for the size and takes this path.
//   - Otherwise the fixed part is filled, then as much of the name and of the data as fits;
//     if either is cut short the result is STATUS_BUFFER_OVERFLOW.
// A key has no class in this registry: ClassOffset is 0xFFFFFFFF and ClassLength 0.
#include <string>

#include "kernel/debug/faults.hpp"
#include "kernel/registry/failures.hpp"
#include "kernel/registry/handles.hpp"
#include "kernel/registry/tree.hpp"
#include "sim_ntddk.h"
#include "kernel/ke/threads.hpp"
#include "kernel/rtl/text.hpp"

using sim::text::Hex;

namespace {

using sim::registry::tree::HandleEntry;
using sim::registry::tree::Key;
namespace tree = sim::registry::tree;

constexpr ULONG kNoClass = 0xFFFFFFFF;
constexpr ULONG kNoData = 0xFFFFFFFF;
// Object attribute bits the object manager accepts.
constexpr ULONG kValidAttributes = 0x00001FF2;

void Fault(const char* routine, const std::string& what)
{
    sim::faults::Report(std::string(routine) + ": " + what);
}

// Registry routines are pageable and wait on the registry lock: PASSIVE_LEVEL only.
void CheckIrql(const char* routine)
{
    const auto irql = sim::threads::CurrentIrql();
    if (irql != PASSIVE_LEVEL)
        Fault(routine, "called at IRQL " + std::to_string(irql) + "; it requires PASSIVE_LEVEL");
}

std::u16string_view Text(const UNICODE_STRING& s)
{
    return {reinterpret_cast<const char16_t*>(s.Buffer), s.Length / sizeof(WCHAR)};
}

std::u16string_view Text(PCWSTR s)
{
    if (s == nullptr)
        return {};
    return {reinterpret_cast<const char16_t*>(s), SimWcslen(s)};
}

// The access a handle receives for a requested access mask, with the key object's generic
// mapping. A kernel-mode open of a key with the default security gets what it asks for.
ACCESS_MASK GrantedAccess(ACCESS_MASK desired)
{
    ACCESS_MASK granted =
        desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (desired & GENERIC_READ)
        granted |= KEY_READ;
    if (desired & GENERIC_WRITE)
        granted |= KEY_WRITE;
    if (desired & GENERIC_EXECUTE)
        granted |= KEY_EXECUTE;
    if (desired & (GENERIC_ALL | MAXIMUM_ALLOWED))
        granted |= KEY_ALL_ACCESS;
    return granted;
}

// Resolves a key handle for a routine that needs `access` on it. Using a handle that is not
// open is a driver bug (on Windows it reaches whatever object now owns the value), so it is
// reported as well as failed.
NTSTATUS ReferenceKey(HANDLE handle, ACCESS_MASK access, const char* routine, HandleEntry& entry)
{
    auto found = tree::LookupHandle(reinterpret_cast<uintptr_t>(handle));
    if (!found) {
        Fault(routine,
              "handle " + Hex(reinterpret_cast<uintptr_t>(handle)) + " is not an open key handle");
        return STATUS_INVALID_HANDLE;
    }
    if ((found->grantedAccess & access) != access)
        return STATUS_ACCESS_DENIED;
    if (found->key->Deleted())
        return STATUS_KEY_DELETED;
    entry = std::move(*found);
    return STATUS_SUCCESS;
}

// Walks `path` (names separated by backslashes, no leading one) down from `start`. A single
// trailing backslash is accepted; an empty name inside the path is not.
NTSTATUS Walk(std::shared_ptr<Key> start, std::u16string_view path, std::shared_ptr<Key>& key)
{
    if (!path.empty() && path.back() == u'\\')
        path.remove_suffix(1);
    key = std::move(start);
    while (!path.empty()) {
        const size_t end = path.find(u'\\');
        const std::u16string_view name = path.substr(0, end);
        if (name.empty())
            return STATUS_OBJECT_NAME_INVALID;
        auto next = key->Subkey(name);
        if (!next)
            return STATUS_OBJECT_NAME_NOT_FOUND;
        key = std::move(next);
        path = end == std::u16string_view::npos ? std::u16string_view{} : path.substr(end + 1);
    }
    return STATUS_SUCCESS;
}

// An absolute object name: "\REGISTRY" and the keys below it are the only objects here.
// "\" is the object directory (not a key); any other top-level name does not exist.
NTSTATUS SplitAbsolute(std::u16string_view name, std::u16string_view& below, bool& isRegistry)
{
    if (name.empty() || name[0] != u'\\')
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    name.remove_prefix(1);
    if (name.empty())
        return STATUS_OBJECT_TYPE_MISMATCH;
    const size_t end = name.find(u'\\');
    const std::u16string_view first = name.substr(0, end);
    isRegistry = sim::registry::CompareNames(first, u"REGISTRY") == 0;
    if (!isRegistry)
        return end == std::u16string_view::npos ? STATUS_OBJECT_NAME_NOT_FOUND
                                                : STATUS_OBJECT_PATH_NOT_FOUND;
    below = end == std::u16string_view::npos ? std::u16string_view{} : name.substr(end + 1);
    return STATUS_SUCCESS;
}

// A writer over the caller's buffer that never writes past Length.
class InfoBuffer {
  public:
    InfoBuffer(PVOID buffer, ULONG length) : data_(static_cast<UCHAR*>(buffer)), length_(length) {}

    void Put32(ULONG offset, ULONG value) { memcpy(data_ + offset, &value, sizeof value); }
    void Put64(ULONG offset, LONGLONG value) { memcpy(data_ + offset, &value, sizeof value); }
    // Copies as much of `bytes` as fits at `offset`; false when it was cut short.
    bool PutPart(ULONG offset, const void* bytes, ULONG size)
    {
        const ULONG room = offset < length_ ? length_ - offset : 0;
        const ULONG copied = size < room ? size : room;
        if (copied != 0)
            memcpy(data_ + offset, bytes, copied);
        return copied == size;
    }

  private:
    UCHAR* data_;
    ULONG length_;
};

ULONG AlignUp(ULONG value, ULONG alignment)
{
    return (value + alignment - 1) & ~(alignment - 1);
}

ULONG Bytes(std::u16string_view name)
{
    return static_cast<ULONG>(name.size() * sizeof(WCHAR));
}

// The size checks shared by every class: the full size goes to *ResultLength, a buffer shorter
// than the fixed part is refused, and a NULL buffer that would be written is a fault.
NTSTATUS CheckBuffer(const char* routine, PVOID buffer, ULONG length, ULONG fixed, ULONG full,
                     PULONG resultLength)
{
    *resultLength = full;
    if (length < fixed)
        return STATUS_BUFFER_TOO_SMALL;
    if (buffer == nullptr) {
        Fault(routine, "NULL information buffer with Length " + std::to_string(length));
        return STATUS_ACCESS_VIOLATION;
    }
    return STATUS_SUCCESS;
}

NTSTATUS FillKeyInformation(const char* routine, const Key& key, KEY_INFORMATION_CLASS cls,
                            PVOID buffer, ULONG length, PULONG resultLength)
{
    const std::u16string_view name = key.Name();
    InfoBuffer out(buffer, length);
    NTSTATUS status = STATUS_SUCCESS;
    switch (cls) {
    case KeyBasicInformation: {
        const ULONG fixed = FIELD_OFFSET(KEY_BASIC_INFORMATION, Name);
        status = CheckBuffer(routine, buffer, length, fixed, fixed + Bytes(name), resultLength);
        if (status != STATUS_SUCCESS)
            return status;
        out.Put64(FIELD_OFFSET(KEY_BASIC_INFORMATION, LastWriteTime), key.LastWriteTime());
        out.Put32(FIELD_OFFSET(KEY_BASIC_INFORMATION, TitleIndex), 0);
        out.Put32(FIELD_OFFSET(KEY_BASIC_INFORMATION, NameLength), Bytes(name));
        if (!out.PutPart(fixed, name.data(), Bytes(name)))
            status = STATUS_BUFFER_OVERFLOW;
        return status;
    }
    case KeyNodeInformation: {
        const ULONG fixed = FIELD_OFFSET(KEY_NODE_INFORMATION, Name);
        status = CheckBuffer(routine, buffer, length, fixed, fixed + Bytes(name), resultLength);
        if (status != STATUS_SUCCESS)
            return status;
        out.Put64(FIELD_OFFSET(KEY_NODE_INFORMATION, LastWriteTime), key.LastWriteTime());
        out.Put32(FIELD_OFFSET(KEY_NODE_INFORMATION, TitleIndex), 0);
        out.Put32(FIELD_OFFSET(KEY_NODE_INFORMATION, ClassOffset), kNoClass);
        out.Put32(FIELD_OFFSET(KEY_NODE_INFORMATION, ClassLength), 0);
        out.Put32(FIELD_OFFSET(KEY_NODE_INFORMATION, NameLength), Bytes(name));
        if (!out.PutPart(fixed, name.data(), Bytes(name)))
            status = STATUS_BUFFER_OVERFLOW;
        return status;
    }
    case KeyFullInformation: {
        // The size needed is the offset of Class (44), not sizeof(KEY_FULL_INFORMATION).
        const ULONG fixed = FIELD_OFFSET(KEY_FULL_INFORMATION, Class);
        status = CheckBuffer(routine, buffer, length, fixed, fixed, resultLength);
        if (status != STATUS_SUCCESS)
            return status;
        out.Put64(FIELD_OFFSET(KEY_FULL_INFORMATION, LastWriteTime), key.LastWriteTime());
        out.Put32(FIELD_OFFSET(KEY_FULL_INFORMATION, TitleIndex), 0);
        out.Put32(FIELD_OFFSET(KEY_FULL_INFORMATION, ClassOffset), kNoClass);
        out.Put32(FIELD_OFFSET(KEY_FULL_INFORMATION, ClassLength), 0);
        out.Put32(FIELD_OFFSET(KEY_FULL_INFORMATION, SubKeys),
                  static_cast<ULONG>(key.Subkeys().size()));
        ULONG maxNameLen = key.MaxNameLen();
        if (auto reported = tree::InjectedFailure(tree::Operation::MaxNameLen, key.Path()))
            maxNameLen = std::min(maxNameLen, static_cast<ULONG>(*reported));
        out.Put32(FIELD_OFFSET(KEY_FULL_INFORMATION, MaxNameLen), maxNameLen);
        out.Put32(FIELD_OFFSET(KEY_FULL_INFORMATION, MaxClassLen), 0);
        out.Put32(FIELD_OFFSET(KEY_FULL_INFORMATION, Values),
                  static_cast<ULONG>(key.Values().size()));
        out.Put32(FIELD_OFFSET(KEY_FULL_INFORMATION, MaxValueNameLen), key.MaxValueNameLen());
        out.Put32(FIELD_OFFSET(KEY_FULL_INFORMATION, MaxValueDataLen), key.MaxValueDataLen());
        return STATUS_SUCCESS;
    }
    case KeyNameInformation: {
        const std::u16string path = key.Path();
        const ULONG fixed = FIELD_OFFSET(KEY_NAME_INFORMATION, Name);
        status = CheckBuffer(routine, buffer, length, fixed, fixed + Bytes(path), resultLength);
        if (status != STATUS_SUCCESS)
            return status;
        out.Put32(FIELD_OFFSET(KEY_NAME_INFORMATION, NameLength), Bytes(path));
        if (!out.PutPart(fixed, path.data(), Bytes(path)))
            status = STATUS_BUFFER_OVERFLOW;
        return status;
    }
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS FillValueInformation(const char* routine, const tree::ValueEntry& value,
                              KEY_VALUE_INFORMATION_CLASS cls, PVOID buffer, ULONG length,
                              PULONG resultLength)
{
    const std::u16string_view name = value.name;
    const auto dataLength = static_cast<ULONG>(value.data.size());
    InfoBuffer out(buffer, length);
    NTSTATUS status = STATUS_SUCCESS;
    switch (cls) {
    case KeyValueBasicInformation: {
        const ULONG fixed = FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Name);
        status = CheckBuffer(routine, buffer, length, fixed, fixed + Bytes(name), resultLength);
        if (status != STATUS_SUCCESS)
            return status;
        out.Put32(FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, TitleIndex), 0);
        out.Put32(FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, Type), value.type);
        out.Put32(FIELD_OFFSET(KEY_VALUE_BASIC_INFORMATION, NameLength), Bytes(name));
        if (!out.PutPart(fixed, name.data(), Bytes(name)))
            status = STATUS_BUFFER_OVERFLOW;
        return status;
    }
    case KeyValueFullInformation:
    case KeyValueFullInformationAlign64: {
        // The data follows the name at the next ULONG boundary (x86; the Align64 class and
        // 64-bit Windows use 8). The padding counts in the size needed. Without data
        // DataOffset is 0xFFFFFFFF.
        const ULONG fixed = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name);
        const ULONG alignment = cls == KeyValueFullInformationAlign64 ? 8 : sizeof(ULONG);
        const ULONG dataOffset = AlignUp(fixed + Bytes(name), alignment);
        const ULONG full = dataLength != 0 ? dataOffset + dataLength : fixed + Bytes(name);
        status = CheckBuffer(routine, buffer, length, fixed, full, resultLength);
        if (status != STATUS_SUCCESS)
            return status;
        out.Put32(FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, TitleIndex), 0);
        out.Put32(FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Type), value.type);
        out.Put32(FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, DataOffset),
                  dataLength != 0 ? dataOffset : kNoData);
        out.Put32(FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, DataLength), dataLength);
        out.Put32(FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, NameLength), Bytes(name));
        if (!out.PutPart(fixed, name.data(), Bytes(name)))
            status = STATUS_BUFFER_OVERFLOW;
        if (dataLength != 0 && !out.PutPart(dataOffset, value.data.data(), dataLength))
            status = STATUS_BUFFER_OVERFLOW;
        return status;
    }
    case KeyValuePartialInformation: {
        const ULONG fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data);
        status = CheckBuffer(routine, buffer, length, fixed, fixed + dataLength, resultLength);
        if (status != STATUS_SUCCESS)
            return status;
        out.Put32(FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, TitleIndex), 0);
        out.Put32(FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Type), value.type);
        out.Put32(FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, DataLength), dataLength);
        if (!out.PutPart(fixed, value.data.data(), dataLength))
            status = STATUS_BUFFER_OVERFLOW;
        return status;
    }
    case KeyValuePartialInformationAlign64: {
        const ULONG fixed = FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION_ALIGN64, Data);
        status = CheckBuffer(routine, buffer, length, fixed, fixed + dataLength, resultLength);
        if (status != STATUS_SUCCESS)
            return status;
        out.Put32(FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION_ALIGN64, Type), value.type);
        out.Put32(FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION_ALIGN64, DataLength), dataLength);
        if (!out.PutPart(fixed, value.data.data(), dataLength))
            status = STATUS_BUFFER_OVERFLOW;
        return status;
    }
    }
    return STATUS_INVALID_PARAMETER;
}

bool IsKeyClass(KEY_INFORMATION_CLASS cls, bool nameAllowed)
{
    return cls == KeyBasicInformation || cls == KeyNodeInformation || cls == KeyFullInformation ||
           (nameAllowed && cls == KeyNameInformation);
}

// Where RtlWriteRegistryValue's relative paths start.
const char16_t* RelativeRoot(ULONG relativeTo)
{
    switch (relativeTo) {
    case RTL_REGISTRY_SERVICES:
        return u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
    case RTL_REGISTRY_CONTROL:
        return u"\\Registry\\Machine\\System\\CurrentControlSet\\Control";
    case RTL_REGISTRY_WINDOWS_NT:
        return u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion";
    case RTL_REGISTRY_DEVICEMAP:
        return u"\\Registry\\Machine\\Hardware\\DeviceMap";
    case RTL_REGISTRY_USER:
        // System threads have no user profile loaded: the default user's key.
        return u"\\Registry\\User\\.Default";
    default:
        return nullptr;
    }
}

// ZwCreateKey with an absolute name, as RtlWriteRegistryValue uses it: opens the key, or
// creates it when every key above it exists. Missing keys further up are not created.
NTSTATUS CreateForWrite(std::u16string_view name, std::shared_ptr<Key>& key)
{
    std::u16string_view below;
    bool isRegistry = false;
    NTSTATUS status = SplitAbsolute(name, below, isRegistry);
    if (status != STATUS_SUCCESS)
        return status;
    if (!below.empty() && below.back() == u'\\')
        below.remove_suffix(1);
    std::shared_ptr<Key> parent = tree::Root();
    std::u16string_view leaf;
    const size_t split = below.rfind(u'\\');
    if (split == std::u16string_view::npos) {
        leaf = below;
    } else {
        status = Walk(parent, below.substr(0, split), parent);
        if (status != STATUS_SUCCESS)
            return status;
        leaf = below.substr(split + 1);
    }
    if (leaf.empty()) {
        key = parent; // "\REGISTRY" itself
    } else if (auto existing = parent->Subkey(leaf)) {
        key = std::move(existing);
    } else {
        if (leaf.size() > tree::kMaxKeyNameChars)
            return STATUS_OBJECT_NAME_INVALID;
        if (tree::InjectedFailure(tree::Operation::Deny,
                                  parent->Path() + u"\\" + std::u16string(leaf)))
            return STATUS_ACCESS_DENIED;
        key = parent->CreateSubkey(leaf);
    }
    if (auto denied = tree::InjectedFailure(tree::Operation::Deny, key->Path()))
        return *denied;
    return STATUS_SUCCESS;
}

} // namespace

// Opens a key by absolute name ("\REGISTRY\...") or by a name relative to RootDirectory (an
// empty name opens the root key again). The registry compares names case-insensitively whether
// or not OBJ_CASE_INSENSITIVE is given. Any missing key on the way gives
// STATUS_OBJECT_NAME_NOT_FOUND. *KeyHandle is written only on success.
NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess,
                         POBJECT_ATTRIBUTES ObjectAttributes)
{
    static const char* const kRoutine = "ZwOpenKey";
    CheckIrql(kRoutine);
    std::lock_guard guard(tree::Lock());
    if (KeyHandle == nullptr) {
        Fault(kRoutine, "NULL KeyHandle");
        return STATUS_ACCESS_VIOLATION;
    }
    if (ObjectAttributes == nullptr) {
        Fault(kRoutine, "NULL ObjectAttributes");
        return STATUS_INVALID_PARAMETER;
    }
    if (ObjectAttributes->Length != sizeof(OBJECT_ATTRIBUTES) ||
        (ObjectAttributes->Attributes & ~kValidAttributes) != 0)
        return STATUS_INVALID_PARAMETER;

    std::u16string_view name;
    if (const PUNICODE_STRING objectName = ObjectAttributes->ObjectName) {
        if ((objectName->Length & 1) != 0 || objectName->Length > objectName->MaximumLength)
            return STATUS_OBJECT_NAME_INVALID;
        if (objectName->Length != 0 && objectName->Buffer == nullptr) {
            Fault(kRoutine, "object name with a NULL buffer");
            return STATUS_ACCESS_VIOLATION;
        }
        name = Text(*objectName);
    }

    std::shared_ptr<Key> key;
    NTSTATUS status;
    if (ObjectAttributes->RootDirectory != nullptr) {
        HandleEntry root;
        status = ReferenceKey(ObjectAttributes->RootDirectory, 0, kRoutine, root);
        if (status != STATUS_SUCCESS)
            return status;
        if (!name.empty() && name[0] == u'\\')
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        status = Walk(root.key, name, key);
    } else {
        std::u16string_view below;
        bool isRegistry = false;
        status = SplitAbsolute(name, below, isRegistry);
        if (status != STATUS_SUCCESS)
            return status;
        status = Walk(tree::Root(), below, key);
    }
    if (status != STATUS_SUCCESS)
        return status;
    if (auto injected = tree::InjectedFailure(tree::Operation::Open, key->Path()))
        return *injected;

    *KeyHandle = reinterpret_cast<HANDLE>(
        tree::AddHandle(key, GrantedAccess(DesiredAccess),
                        (ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE) != 0));
    return STATUS_SUCCESS;
}

// Describes the key itself. Needs KEY_QUERY_VALUE on the handle, except for
// KeyNameInformation (the key's full path), which needs no access.
NTSTATUS NTAPI ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass,
                          PVOID KeyInformation, ULONG Length, PULONG ResultLength)
{
    static const char* const kRoutine = "ZwQueryKey";
    CheckIrql(kRoutine);
    std::lock_guard guard(tree::Lock());
    HandleEntry entry;
    NTSTATUS status =
        ReferenceKey(KeyHandle, KeyInformationClass == KeyNameInformation ? 0 : KEY_QUERY_VALUE,
                     kRoutine, entry);
    if (status != STATUS_SUCCESS)
        return status;
    if (!IsKeyClass(KeyInformationClass, true))
        return STATUS_INVALID_PARAMETER;
    if (ResultLength == nullptr) {
        Fault(kRoutine, "NULL ResultLength");
        return STATUS_ACCESS_VIOLATION;
    }
    if (auto injected = tree::InjectedFailure(tree::Operation::QueryKey, entry.key->Path()))
        return *injected;
    return FillKeyInformation(kRoutine, *entry.key, KeyInformationClass, KeyInformation, Length,
                              ResultLength);
}

// Describes subkey `Index` in the registry's order (names compared upper-cased). Needs
// KEY_ENUMERATE_SUB_KEYS. An index past the last subkey gives STATUS_NO_MORE_ENTRIES and leaves
// *ResultLength alone.
NTSTATUS NTAPI ZwEnumerateKey(HANDLE KeyHandle, ULONG Index,
                              KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                              ULONG Length, PULONG ResultLength)
{
    static const char* const kRoutine = "ZwEnumerateKey";
    CheckIrql(kRoutine);
    std::lock_guard guard(tree::Lock());
    if (!IsKeyClass(KeyInformationClass, false))
        return STATUS_INVALID_PARAMETER;
    HandleEntry entry;
    NTSTATUS status = ReferenceKey(KeyHandle, KEY_ENUMERATE_SUB_KEYS, kRoutine, entry);
    if (status != STATUS_SUCCESS)
        return status;
    if (ResultLength == nullptr) {
        Fault(kRoutine, "NULL ResultLength");
        return STATUS_ACCESS_VIOLATION;
    }
    if (tree::AnyInjectedFailures())
        if (auto injected =
                tree::InjectedFailure(tree::Operation::Enumerate, entry.key->Path(),
                                      sim::registry::Utf8ToUtf16(std::to_string(Index))))
            return *injected;
    const Key* subkey = entry.key->SubkeyAt(Index);
    if (subkey == nullptr)
        return STATUS_NO_MORE_ENTRIES;
    return FillKeyInformation(kRoutine, *subkey, KeyInformationClass, KeyInformation, Length,
                              ResultLength);
}

// Reads one value. Needs KEY_QUERY_VALUE. An empty name is the key's default value; zero
// characters at the end of the name are ignored, an odd byte length is refused. A missing
// value gives STATUS_OBJECT_NAME_NOT_FOUND.
NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                               KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                               PVOID KeyValueInformation, ULONG Length, PULONG ResultLength)
{
    static const char* const kRoutine = "ZwQueryValueKey";
    CheckIrql(kRoutine);
    std::lock_guard guard(tree::Lock());
    HandleEntry entry;
    NTSTATUS status = ReferenceKey(KeyHandle, KEY_QUERY_VALUE, kRoutine, entry);
    if (status != STATUS_SUCCESS)
        return status;
    if (ValueName == nullptr) {
        Fault(kRoutine, "NULL ValueName");
        return STATUS_ACCESS_VIOLATION;
    }
    if ((ValueName->Length & 1) != 0)
        return STATUS_INVALID_PARAMETER;
    if (ValueName->Length != 0 && ValueName->Buffer == nullptr) {
        Fault(kRoutine, "value name with a NULL buffer");
        return STATUS_ACCESS_VIOLATION;
    }
    if (ResultLength == nullptr) {
        Fault(kRoutine, "NULL ResultLength");
        return STATUS_ACCESS_VIOLATION;
    }
    std::u16string_view name = Text(*ValueName);
    while (!name.empty() && name.back() == u'\0')
        name.remove_suffix(1);
    if (auto injected = tree::InjectedFailure(tree::Operation::QueryValue, entry.key->Path(), name))
        return *injected;
    const auto* value = entry.key->FindValue(name);
    if (value == nullptr)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    switch (KeyValueInformationClass) {
    case KeyValueBasicInformation:
    case KeyValueFullInformation:
    case KeyValuePartialInformation:
    case KeyValueFullInformationAlign64:
    case KeyValuePartialInformationAlign64:
        return FillValueInformation(kRoutine, *value, KeyValueInformationClass, KeyValueInformation,
                                    Length, ResultLength);
    }
    return STATUS_INVALID_PARAMETER;
}

// Closes a handle. Key handles are the only handles the simulated kernel gives out; closing
// anything else (a handle already closed, NULL, a made-up value) stops a real system when the
// caller is in kernel mode (INVALID_KERNEL_HANDLE), so it is reported.
NTSTATUS NTAPI ZwClose(HANDLE Handle)
{
    static const char* const kRoutine = "ZwClose";
    CheckIrql(kRoutine);
    if (!tree::RemoveHandle(reinterpret_cast<uintptr_t>(Handle))) {
        Fault(kRoutine, "handle " + Hex(reinterpret_cast<uintptr_t>(Handle)) + " is not open");
        return STATUS_INVALID_HANDLE;
    }
    return STATUS_SUCCESS;
}

// Writes one value, as the run-time library does: open the key for writing with ZwCreateKey
// (which creates the last key of the path when missing, but no key above it: a missing parent
// gives STATUS_OBJECT_NAME_NOT_FOUND), ZwSetValueKey, ZwClose. RTL_REGISTRY_HANDLE passes an
// open handle (needing KEY_SET_VALUE) in place of the path; the other RelativeTo values prefix
// their well-known key. The data are stored as given (a REG_SZ is not checked for its
// terminator). A NULL ValueName names the default value.
NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName,
                                     ULONG ValueType, PVOID ValueData, ULONG ValueLength)
{
    static const char* const kRoutine = "RtlWriteRegistryValue";
    CheckIrql(kRoutine);
    std::lock_guard guard(tree::Lock());
    std::shared_ptr<Key> key;
    NTSTATUS status;
    if (RelativeTo & RTL_REGISTRY_HANDLE) {
        HandleEntry entry;
        status = ReferenceKey(reinterpret_cast<HANDLE>(const_cast<PWSTR>(Path)), KEY_SET_VALUE,
                              kRoutine, entry);
        if (status != STATUS_SUCCESS)
            return status;
        key = entry.key;
    } else {
        RelativeTo &= ~static_cast<ULONG>(RTL_REGISTRY_OPTIONAL);
        if (RelativeTo >= RTL_REGISTRY_MAXIMUM)
            return STATUS_INVALID_PARAMETER;
        if (Path == nullptr) {
            Fault(kRoutine, "NULL Path");
            return STATUS_ACCESS_VIOLATION;
        }
        std::u16string fullPath;
        std::u16string_view path = Text(Path);
        if (RelativeTo != RTL_REGISTRY_ABSOLUTE) {
            fullPath = RelativeRoot(RelativeTo);
            fullPath += u'\\';
            if (!path.empty() && path[0] == u'\\')
                path.remove_prefix(1);
        }
        fullPath += path;
        status = CreateForWrite(fullPath, key);
        if (status != STATUS_SUCCESS)
            return status;
    }

    const std::u16string_view name = Text(ValueName);
    if (name.size() > tree::kMaxValueNameChars)
        return STATUS_INVALID_PARAMETER;
    if (ValueData == nullptr && ValueLength != 0) {
        Fault(kRoutine, "NULL ValueData with ValueLength " + std::to_string(ValueLength));
        return STATUS_ACCESS_VIOLATION;
    }
    if (auto injected = tree::InjectedFailure(tree::Operation::Write, key->Path(), name))
        return *injected;
    const auto* bytes = static_cast<const uint8_t*>(ValueData);
    key->SetValue(name, ValueType, std::vector<uint8_t>(bytes, bytes + ValueLength));
    return STATUS_SUCCESS;
}
