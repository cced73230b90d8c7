// The simulated I/O manager: driver and device objects, the object namespace (device names,
// symbolic links, device interfaces), and the IRP machinery (allocation, IofCallDriver,
// IofCompleteRequest) with the checks a checked build and Driver Verifier make.
#include "io_manager.hpp"
#include "kernel/text.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <unordered_map>

#include "bus_device.hpp"
#include "faults.hpp"
#include "io_internal.hpp"
#include "pnp_manager.hpp"
#include "remove_lock.hpp"
#include "sim_ntddk.h"
#include "threads.hpp"

using sim::text::HexStatus;

namespace sim::io {
namespace {

using internal::CanonicalLinkName;
using internal::FoldCase;

// ---- objects ---------------------------------------------------------------------------------

struct DriverRecord {
    DRIVER_OBJECT object{};
    DRIVER_EXTENSION extension{};
    std::u16string name;
    std::u16string serviceKeyName;
};

struct DeviceRecord {
    std::unique_ptr<std::max_align_t[]> memory; // DEVICE_OBJECT followed by the extension
    PDEVICE_OBJECT device = nullptr;
    std::u16string name;
    std::u16string instancePath; // PDOs only
    PDEVICE_OBJECT attachedTo = nullptr;
    ULONG extensionSize = 0;
    bool deleted = false;
    size_t references = 0;
};

struct InterfaceRecord {
    InterfaceInfo info;
};

struct Failure {
    NTSTATUS status = 0;
    unsigned remaining = 0; // 0: every call
};

struct State {
    std::mutex mutex;
    std::vector<std::unique_ptr<DriverRecord>> drivers;
    std::vector<std::unique_ptr<DeviceRecord>> devices;   // creation order, deleted ones removed
    std::map<std::u16string, SymbolicLink> links;         // folded canonical name -> link
    std::map<std::u16string, InterfaceRecord> interfaces; // folded name -> interface
    std::map<Routine, Failure> failures;
    std::map<Routine, unsigned> calls;
    std::set<std::string> hiddenRoutines;
    unsigned nextPdoNumber = 1;
};

// Never destroyed: completion threads may still run while the process exits.
State& S()
{
    static State* state = new State;
    return *state;
}

DeviceRecord* FindRecord(State& s, PDEVICE_OBJECT device)
{
    for (auto& record : s.devices)
        if (record->device == device)
            return record.get();
    return nullptr;
}

DriverRecord* FindDriver(State& s, PDRIVER_OBJECT driver)
{
    for (auto& record : s.drivers)
        if (&record->object == driver)
            return record.get();
    return nullptr;
}

// Counts the call and tells whether it must fail (and with what).
std::optional<NTSTATUS> TakeFailure(Routine routine)
{
    State& s = S();
    std::lock_guard guard(s.mutex);
    ++s.calls[routine];
    auto it = s.failures.find(routine);
    if (it == s.failures.end())
        return std::nullopt;
    const NTSTATUS status = it->second.status;
    if (it->second.remaining != 0 && --it->second.remaining == 0)
        s.failures.erase(it);
    return status;
}

PDEVICE_OBJECT TopOfStackLocked(State& s, PDEVICE_OBJECT device)
{
    // Guard against a corrupted chain: at most as many steps as there are devices.
    for (size_t steps = 0;
         device != nullptr && device->AttachedDevice != nullptr && steps <= s.devices.size();
         ++steps)
        device = device->AttachedDevice;
    return device;
}

bool ValidName(const UNICODE_STRING* name)
{
    return name != nullptr && name->Buffer != nullptr && name->Length % 2 == 0 &&
           name->Length <= name->MaximumLength && name->Length >= 2 && name->Buffer[0] == L'\\';
}

NTSTATUS NTAPI DefaultDispatch(PDEVICE_OBJECT, PIRP Irp)
{
    // The system's routine for every major function a driver does not handle.
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

// ---- IRPs ------------------------------------------------------------------------------------

// What happened at one stack location, for the pending rule: a routine that returns
// STATUS_PENDING must have marked its location pending (itself, through its completion routine,
// or by the I/O manager's propagation when it set no routine) by the time the completion passes
// that location. The dispatch return and the completion can come in either order, from different
// threads; whichever comes second makes the check.
struct LocationTrace {
    bool returnedPending = false; // its dispatch routine returned STATUS_PENDING
    bool returnedOther = false;   // its dispatch routine returned something else
    bool walked = false;          // the completion has passed this location
    bool marked = false;          // ... and found it marked pending
    std::string what;             // description for reports
};

// A location below the first one, filled with a pattern: a driver that copies its location to
// a next one the request does not have writes here (on Windows it overwrites the IRP itself).
constexpr uint8_t kGuardFill = 0x6B;

struct IrpRecord {
    IRP irp{};
    std::vector<IO_STACK_LOCATION> stack; // [0] is the guard; the request's locations follow
    bool guardReported = false;

    IO_STACK_LOCATION* Locations() { return stack.data() + 1; }
    bool GuardIntact() const
    {
        const auto* bytes = reinterpret_cast<const uint8_t*>(stack.data());
        for (size_t i = 0; i < sizeof(IO_STACK_LOCATION); ++i)
            if (bytes[i] != kGuardFill)
                return false;
        return true;
    }
    std::vector<LocationTrace> trace; // guarded by mutex
    std::mutex mutex;
    std::condition_variable completedSignal;
    bool sent = false;      // IrpRequest::Send was called
    bool completed = false; // the completion reached the sender
    bool released = false;  // the sender is done with it
};

struct IrpTable {
    std::mutex mutex;
    std::unordered_map<PIRP, std::shared_ptr<IrpRecord>> live;
    // Completed requests are kept for a while so that a second completion is caught instead of
    // touching freed memory.
    std::deque<PIRP> retired;
};

constexpr size_t kRetiredRequests = 512;

IrpTable& Irps()
{
    static IrpTable* table = new IrpTable;
    return *table;
}

std::shared_ptr<IrpRecord> FindIrp(PIRP irp)
{
    IrpTable& t = Irps();
    std::lock_guard guard(t.mutex);
    auto it = t.live.find(irp);
    return it == t.live.end() ? nullptr : it->second;
}

void Retire(PIRP irp)
{
    IrpTable& t = Irps();
    std::lock_guard guard(t.mutex);
    t.retired.push_back(irp);
    while (t.retired.size() > kRetiredRequests) {
        t.live.erase(t.retired.front());
        t.retired.pop_front();
    }
}

UCHAR LoadControl(const IO_STACK_LOCATION* location)
{
    return __atomic_load_n(&location->Control, __ATOMIC_SEQ_CST);
}

void StoreControl(IO_STACK_LOCATION* location, UCHAR value)
{
    __atomic_store_n(&location->Control, value, __ATOMIC_SEQ_CST);
}

std::string DescribeDispatch(PDEVICE_OBJECT device, UCHAR major, UCHAR minor)
{
    char buffer[64];
    std::snprintf(buffer, sizeof(buffer), "request major 0x%02X minor 0x%02X", major, minor);
    std::string text = buffer;
    if (device != nullptr && device->DriverObject != nullptr)
        text += " in " + Narrow(ToU16(device->DriverObject->DriverName));
    return text;
}

void CheckGuard(IrpRecord& record)
{
    if (record.guardReported || record.GuardIntact())
        return;
    record.guardReported = true;
    sim::faults::Report("a driver wrote the stack location below the request's last one "
                        "(IoCopyCurrentIrpStackLocationToNext or IoSetCompletionRoutine with no "
                        "next location): the request's memory is corrupted");
}

} // namespace

// ---- text helpers --------------------------------------------------------------------------

std::u16string ToU16(const UNICODE_STRING& text)
{
    if (text.Buffer == nullptr)
        return {};
    return std::u16string(reinterpret_cast<const char16_t*>(text.Buffer), text.Length / 2);
}

std::u16string ToU16(PCWSTR text)
{
    if (text == nullptr)
        return {};
    return std::u16string(reinterpret_cast<const char16_t*>(text));
}

std::u16string GuidText(const GUID& guid)
{
    char text[40];
    std::snprintf(text, sizeof(text), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
                  guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                  guid.Data4[6], guid.Data4[7]);
    return std::u16string(text, text + std::char_traits<char>::length(text));
}

std::string Narrow(std::u16string_view text)
{
    std::string out;
    out.reserve(text.size());
    for (char16_t c : text)
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

namespace internal {

std::u16string FoldCase(std::u16string_view text)
{
    std::u16string out(text);
    for (auto& c : out)
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - u'a' + u'A');
    return out;
}

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

bool CheckIrql(const char* routine, KIRQL maximum)
{
    const KIRQL irql = sim::threads::CurrentIrql();
    if (irql <= maximum)
        return true;
    sim::faults::Report(std::string(routine) + " called at IRQL " + std::to_string(irql) +
                        " (allowed up to " + std::to_string(maximum) + ")");
    return false;
}

PDEVICE_OBJECT CreatePhysicalDevice(PDRIVER_OBJECT busDriver, std::u16string_view instancePath)
{
    State& s = S();
    std::lock_guard guard(s.mutex);
    char number[16];
    std::snprintf(number, sizeof(number), "%08u", s.nextPdoNumber++);
    auto record = std::make_unique<DeviceRecord>();
    record->memory = std::make_unique<std::max_align_t[]>(
        (sizeof(DEVICE_OBJECT) + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t));
    auto* device = reinterpret_cast<PDEVICE_OBJECT>(record->memory.get());
    std::memset(device, 0, sizeof(*device));
    device->Type = IO_TYPE_DEVICE;
    device->Size = sizeof(DEVICE_OBJECT);
    device->DriverObject = busDriver;
    device->Flags = DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE | DO_DEVICE_HAS_NAME;
    device->DeviceType = FILE_DEVICE_CONTROLLER;
    device->StackSize = 1;
    device->NextDevice = busDriver->DeviceObject;
    busDriver->DeviceObject = device;
    record->device = device;
    record->name = u"\\Device\\" + std::u16string(number, number + 8);
    record->instancePath = instancePath;
    s.devices.push_back(std::move(record));
    return device;
}

NTSTATUS ReferenceDeviceByName(std::u16string_view path, PDEVICE_OBJECT* device)
{
    State& s = S();
    std::lock_guard guard(s.mutex);
    std::u16string name = CanonicalLinkName(path);
    // Follow links (a link may name another link) a bounded number of times.
    for (int hops = 0; hops < 8; ++hops) {
        const std::u16string key = FoldCase(name);
        if (auto link = s.links.find(key); link != s.links.end()) {
            name = CanonicalLinkName(link->second.target);
            continue;
        }
        if (auto itf = s.interfaces.find(key); itf != s.interfaces.end()) {
            if (!itf->second.info.enabled)
                return STATUS_OBJECT_NAME_NOT_FOUND;
            DeviceRecord* pdo = FindRecord(s, itf->second.info.pdo);
            if (pdo == nullptr)
                return STATUS_OBJECT_NAME_NOT_FOUND;
            name = pdo->name;
            continue;
        }
        break;
    }
    const std::u16string key = FoldCase(name);
    for (auto& record : s.devices) {
        if (!record->deleted && !record->name.empty() && FoldCase(record->name) == key) {
            ++record->references;
            *device = record->device;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

void DereferenceDevice(PDEVICE_OBJECT device)
{
    State& s = S();
    std::lock_guard guard(s.mutex);
    DeviceRecord* record = FindRecord(s, device);
    if (record == nullptr || record->references == 0)
        return;
    --record->references;
}

size_t ReferenceCount(PDEVICE_OBJECT device)
{
    State& s = S();
    std::lock_guard guard(s.mutex);
    size_t count = 0;
    // Walk to the bottom, then count every device of the stack.
    DeviceRecord* record = FindRecord(s, device);
    while (record != nullptr && record->attachedTo != nullptr)
        record = FindRecord(s, record->attachedTo);
    for (PDEVICE_OBJECT d = record ? record->device : nullptr; d != nullptr; d = d->AttachedDevice)
        if (DeviceRecord* r = FindRecord(s, d))
            count += r->references;
    return count;
}

bool StackInitializing(PDEVICE_OBJECT device)
{
    State& s = S();
    std::lock_guard guard(s.mutex);
    for (size_t steps = 0; device != nullptr && steps <= s.devices.size(); ++steps) {
        if (device->Flags & DO_DEVICE_INITIALIZING)
            return true;
        device = device->AttachedDevice;
    }
    return false;
}

bool DeletePending(PDEVICE_OBJECT device)
{
    State& s = S();
    std::lock_guard guard(s.mutex);
    DeviceRecord* record = FindRecord(s, device);
    return record == nullptr || record->deleted;
}

} // namespace internal

// ---- failure injection ---------------------------------------------------------------------

void FailRoutine(Routine routine, NTSTATUS status, unsigned count)
{
    State& s = S();
    std::lock_guard guard(s.mutex);
    s.failures[routine] = {status, count};
}

void ClearFailures()
{
    State& s = S();
    std::lock_guard guard(s.mutex);
    s.failures.clear();
}

unsigned CallCount(Routine routine)
{
    State& s = S();
    std::lock_guard guard(s.mutex);
    auto it = s.calls.find(routine);
    return it == s.calls.end() ? 0 : it->second;
}

void HideSystemRoutine(std::string_view name)
{
    State& s = S();
    std::lock_guard guard(s.mutex);
    s.hiddenRoutines.emplace(name);
}

// ---- driver objects ------------------------------------------------------------------------

PDRIVER_OBJECT CreateDriverObject(std::u16string_view driverName,
                                  std::u16string_view serviceKeyName)
{
    State& s = S();
    std::lock_guard guard(s.mutex);
    auto record = std::make_unique<DriverRecord>();
    record->name = driverName;
    record->serviceKeyName = serviceKeyName;
    DRIVER_OBJECT& object = record->object;
    object.Type = IO_TYPE_DRIVER;
    object.Size = sizeof(DRIVER_OBJECT);
    object.DriverExtension = &record->extension;
    object.DriverName.Buffer = reinterpret_cast<PWSTR>(record->name.data());
    object.DriverName.Length = static_cast<USHORT>(record->name.size() * 2);
    object.DriverName.MaximumLength = object.DriverName.Length;
    for (auto& routine : object.MajorFunction)
        routine = DefaultDispatch;
    record->extension.DriverObject = &object;
    record->extension.ServiceKeyName.Buffer =
        reinterpret_cast<PWSTR>(record->serviceKeyName.data());
    record->extension.ServiceKeyName.Length =
        static_cast<USHORT>(record->serviceKeyName.size() * 2);
    record->extension.ServiceKeyName.MaximumLength = record->extension.ServiceKeyName.Length;
    PDRIVER_OBJECT result = &record->object;
    s.drivers.push_back(std::move(record));
    return result;
}

void DeleteDriverObject(PDRIVER_OBJECT driver)
{
    std::string problem;
    {
        State& s = S();
        std::lock_guard guard(s.mutex);
        auto it = std::find_if(s.drivers.begin(), s.drivers.end(),
                               [driver](const auto& r) { return &r->object == driver; });
        if (it == s.drivers.end())
            return;
        size_t remaining = 0;
        for (auto& device : s.devices)
            if (!device->deleted && device->device->DriverObject == driver)
                ++remaining;
        if (remaining != 0)
            problem = "driver " + Narrow((*it)->name) + " went away with " +
                      std::to_string(remaining) + " device object(s) still present";
        s.drivers.erase(it);
    }
    if (!problem.empty())
        sim::faults::Report(problem);
}

std::u16string DriverName(PDRIVER_OBJECT driver)
{
    State& s = S();
    std::lock_guard guard(s.mutex);
    DriverRecord* record = FindDriver(s, driver);
    return record ? record->name : std::u16string();
}

// ---- device queries --------------------------------------------------------------------------

std::vector<DeviceInfo> Devices()
{
    State& s = S();
    std::lock_guard guard(s.mutex);
    std::vector<DeviceInfo> out;
    for (auto& r : s.devices)
        if (!r->deleted)
            out.push_back(
                {r->device, r->device->DriverObject, r->name, r->attachedTo, r->extensionSize});
    return out;
}

size_t DeviceCount()
{
    return Devices().size();
}

size_t DeviceCount(PDRIVER_OBJECT driver)
{
    size_t count = 0;
    for (const auto& info : Devices())
        count += info.driver == driver ? 1 : 0;
    return count;
}

bool IsLiveDevice(PDEVICE_OBJECT device)
{
    State& s = S();
    std::lock_guard guard(s.mutex);
    DeviceRecord* record = FindRecord(s, device);
    return record != nullptr && !record->deleted;
}

PDEVICE_OBJECT FindDevice(std::u16string_view name)
{
    State& s = S();
    std::lock_guard guard(s.mutex);
    const std::u16string key = FoldCase(name);
    for (auto& r : s.devices)
        if (!r->deleted && !r->name.empty() && FoldCase(r->name) == key)
            return r->device;
    return nullptr;
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device)
{
    State& s = S();
    std::lock_guard guard(s.mutex);
    return TopOfStackLocked(s, device);
}

PDEVICE_OBJECT LowerDevice(PDEVICE_OBJECT device)
{
    State& s = S();
    std::lock_guard guard(s.mutex);
    DeviceRecord* record = FindRecord(s, device);
    return record ? record->attachedTo : nullptr;
}

// ---- namespace queries ---------------------------------------------------------------------

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

// ---- IrpRequest ------------------------------------------------------------------------------

IrpRequest::IrpRequest(CCHAR stackSize)
{
    auto record = std::make_shared<IrpRecord>();
    const int count = stackSize < 1 ? 1 : stackSize;
    record->stack.resize(static_cast<size_t>(count) + 1);
    std::memset(record->stack.data(), 0, sizeof(IO_STACK_LOCATION) * record->stack.size());
    std::memset(record->stack.data(), kGuardFill, sizeof(IO_STACK_LOCATION));
    record->trace.resize(static_cast<size_t>(count));
    IRP& irp = record->irp;
    irp.Type = IO_TYPE_IRP;
    irp.Size = static_cast<USHORT>(sizeof(IRP) + count * sizeof(IO_STACK_LOCATION));
    irp.StackCount = static_cast<CHAR>(count);
    irp.CurrentLocation = static_cast<CHAR>(count + 1);
    irp.Tail.Overlay.CurrentStackLocation = record->Locations() + count;
    irp_ = &record->irp;
    IrpTable& t = Irps();
    std::lock_guard guard(t.mutex);
    t.live[irp_] = std::move(record);
}

IrpRequest::~IrpRequest()
{
    std::shared_ptr<IrpRecord> record = FindIrp(irp_);
    if (record == nullptr)
        return;
    bool completed;
    bool sent;
    {
        std::lock_guard guard(record->mutex);
        record->released = true;
        completed = record->completed;
        sent = record->sent;
    }
    // A request that never came back stays alive until Reset: its driver may still hold it.
    if (completed) {
        Retire(irp_);
    } else if (!sent) {
        IrpTable& t = Irps();
        std::lock_guard guard(t.mutex);
        t.live.erase(irp_);
    }
}

PIO_STACK_LOCATION IrpRequest::FirstLocation() const
{
    return irp_->Tail.Overlay.CurrentStackLocation - 1;
}

RequestOutcome IrpRequest::Send(PDEVICE_OBJECT device, std::chrono::milliseconds timeout)
{
    std::shared_ptr<IrpRecord> record = FindIrp(irp_);
    RequestOutcome outcome;
    const UCHAR major = FirstLocation()->MajorFunction;
    const UCHAR minor = FirstLocation()->MinorFunction;
    {
        std::lock_guard guard(record->mutex);
        record->sent = true;
    }
    outcome.returned = IofCallDriver(device, irp_);
    {
        std::unique_lock lock(record->mutex);
        outcome.completed = record->completedSignal.wait_for(
            lock, timeout, [&record] { return record->completed; });
    }
    const std::string what = DescribeDispatch(device, major, minor);
    if (!outcome.completed) {
        if (outcome.returned == STATUS_PENDING)
            sim::faults::Report(what + ": request returned STATUS_PENDING and was never completed");
        else
            sim::faults::Report(what + ": dispatch returned " + HexStatus(outcome.returned) +
                                " without completing the request");
        return outcome;
    }
    outcome.status = irp_->IoStatus.Status;
    outcome.information = irp_->IoStatus.Information;
    outcome.pendingReturned = irp_->PendingReturned != FALSE;
    if (outcome.returned != STATUS_PENDING && outcome.returned != outcome.status)
        sim::faults::Report(what + ": dispatch returned " + HexStatus(outcome.returned) +
                            " but completed the request with " + HexStatus(outcome.status));
    return outcome;
}

size_t OutstandingRequestCount()
{
    IrpTable& t = Irps();
    std::lock_guard guard(t.mutex);
    size_t count = 0;
    for (auto& [irp, record] : t.live) {
        std::lock_guard recordGuard(record->mutex);
        count += record->completed ? 0 : 1;
    }
    return count;
}

// ---- reset -------------------------------------------------------------------------------------

void Reset()
{
    sim::bus::Reset();
    sim::pnp::Reset();
    ResetRemoveLocks();
    {
        IrpTable& t = Irps();
        std::lock_guard guard(t.mutex);
        t.live.clear();
        t.retired.clear();
    }
    State& s = S();
    std::lock_guard guard(s.mutex);
    s.devices.clear();
    s.drivers.clear();
    s.links.clear();
    s.interfaces.clear();
    s.failures.clear();
    s.calls.clear();
    s.hiddenRoutines.clear();
    s.nextPdoNumber = 1;
}

} // namespace sim::io

// ================================================================================================
// The kernel routines.

using namespace sim::io;
using sim::io::internal::CheckIrql;

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    std::shared_ptr<IrpRecord> record = FindIrp(Irp);
    if (record == nullptr) {
        sim::faults::Report("IofCallDriver: request not known to the I/O manager (freed?)");
        return STATUS_INVALID_PARAMETER;
    }
    CheckIrql("IofCallDriver", DISPATCH_LEVEL);
    bool known;
    bool deleted = false;
    {
        State& s = S();
        std::lock_guard guard(s.mutex);
        DeviceRecord* target = DeviceObject != nullptr ? FindRecord(s, DeviceObject) : nullptr;
        known = target != nullptr;
        // A deleted device is still reachable through an open handle (which references it);
        // anything else reaching it is a use after free on Windows.
        deleted = known && target->deleted && target->references == 0;
    }
    if (deleted)
        sim::faults::Report("IofCallDriver to a device object that was deleted");
    CheckGuard(*record);
    if (!known || Irp->CurrentLocation <= 1) {
        sim::faults::Report(known ? "IofCallDriver: no stack location left for the next driver "
                                    "(NO_MORE_IRP_STACK_LOCATIONS)"
                                  : "IofCallDriver to a device object that does not exist");
        // Fail the request as the target would, so that its sender is not left waiting.
        Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        Irp->IoStatus.Information = 0;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }

    Irp->CurrentLocation--;
    PIO_STACK_LOCATION location = --Irp->Tail.Overlay.CurrentStackLocation;
    const size_t index = static_cast<size_t>(location - record->Locations());
    location->DeviceObject = DeviceObject;
    const UCHAR major = location->MajorFunction;
    const UCHAR minor = location->MinorFunction;
    {
        std::lock_guard guard(record->mutex);
        record->trace[index] = LocationTrace{};
        record->trace[index].what = DescribeDispatch(DeviceObject, major, minor);
    }
    PDRIVER_DISPATCH routine = major <= IRP_MJ_MAXIMUM_FUNCTION
                                   ? DeviceObject->DriverObject->MajorFunction[major]
                                   : DefaultDispatch;
    if (routine == nullptr) {
        sim::faults::Report(DescribeDispatch(DeviceObject, major, minor) +
                            ": dispatch table entry is NULL");
        routine = DefaultDispatch;
    }

    const int depthBefore = sim::threads::CriticalRegionDepth();
    const KIRQL irqlBefore = sim::threads::CurrentIrql();
    const NTSTATUS status = routine(DeviceObject, Irp);
    const int depthAfter = sim::threads::CriticalRegionDepth();
    const KIRQL irqlAfter = sim::threads::CurrentIrql();

    const std::string what = DescribeDispatch(DeviceObject, major, minor);
    if (depthAfter != depthBefore)
        sim::faults::Report(what + ": returned with critical-region depth " +
                            std::to_string(depthAfter) + ", entered with " +
                            std::to_string(depthBefore));
    if (irqlAfter != irqlBefore)
        sim::faults::Report(what + ": returned at IRQL " + std::to_string(irqlAfter) +
                            ", entered at " + std::to_string(irqlBefore));
    std::string problem;
    {
        std::lock_guard guard(record->mutex);
        LocationTrace& trace = record->trace[index];
        const bool markedNow = (LoadControl(location) & SL_PENDING_RETURNED) != 0;
        if (status == STATUS_PENDING) {
            trace.returnedPending = true;
            if (trace.walked && !trace.marked)
                problem = what + ": returned STATUS_PENDING without IoMarkIrpPending";
        } else {
            trace.returnedOther = true;
            if (markedNow || (trace.walked && trace.marked))
                problem = what + ": marked the request pending but returned " + HexStatus(status);
        }
    }
    if (!problem.empty())
        sim::faults::Report(problem);
    return status;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    UNREFERENCED_PARAMETER(PriorityBoost);
    std::shared_ptr<IrpRecord> record = FindIrp(Irp);
    if (record == nullptr) {
        sim::faults::Report("IofCompleteRequest: request not known to the I/O manager (freed "
                            "or completed long ago)");
        return;
    }
    CheckIrql("IofCompleteRequest", DISPATCH_LEVEL);
    if (Irp->CurrentLocation > Irp->StackCount + 1) {
        sim::faults::Report("IofCompleteRequest: request completed twice "
                            "(MULTIPLE_IRP_COMPLETE_REQUESTS)");
        return;
    }
    if (Irp->IoStatus.Status == STATUS_PENDING)
        sim::faults::Report("IofCompleteRequest: request completed with STATUS_PENDING");
    if (Irp->CancelRoutine != nullptr)
        sim::faults::Report("IofCompleteRequest: request completed with a cancel routine set "
                            "(CANCEL_STATE_IN_COMPLETED_IRP)");

    for (;;) {
        PIO_STACK_LOCATION location = Irp->Tail.Overlay.CurrentStackLocation;
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        if (Irp->CurrentLocation > Irp->StackCount + 1)
            break;
        const size_t index = static_cast<size_t>(location - record->Locations());
        const UCHAR control = LoadControl(location);
        Irp->PendingReturned = (control & SL_PENDING_RETURNED) ? TRUE : FALSE;
        std::string problem;
        {
            std::lock_guard guard(record->mutex);
            LocationTrace& trace = record->trace[index];
            trace.walked = true;
            trace.marked = Irp->PendingReturned != FALSE;
            if (trace.returnedPending && !trace.marked)
                problem = trace.what + ": returned STATUS_PENDING without IoMarkIrpPending";
            if (trace.returnedOther && trace.marked)
                problem = trace.what + ": marked the request pending but returned another status";
        }
        if (!problem.empty())
            sim::faults::Report(problem);
        const NTSTATUS status = Irp->IoStatus.Status;
        const bool invoke = location->CompletionRoutine != nullptr &&
                            ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                             (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                             (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
        // Clear the location as the I/O manager does; the routine and context stay readable.
        PIO_COMPLETION_ROUTINE routine = location->CompletionRoutine;
        PVOID context = location->Context;
        location->MinorFunction = 0;
        location->Flags = 0;
        StoreControl(location, 0);
        std::memset(&location->Parameters.Others, 0, sizeof(location->Parameters.Others));
        location->FileObject = nullptr;
        if (invoke) {
            PDEVICE_OBJECT device = Irp->CurrentLocation == Irp->StackCount + 1
                                        ? nullptr
                                        : Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
            if (routine(device, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED)
                return;
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            PIO_STACK_LOCATION upper = Irp->Tail.Overlay.CurrentStackLocation;
            StoreControl(upper, LoadControl(upper) | SL_PENDING_RETURNED);
        }
    }

    // The request is back with its sender.
    CheckGuard(*record);
    bool released;
    {
        std::lock_guard guard(record->mutex);
        record->completed = true;
        released = record->released;
        record->completedSignal.notify_all();
    }
    if (released)
        Retire(Irp);
}

// ---- device objects --------------------------------------------------------------------------

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject)
{
    *DeviceObject = nullptr;
    CheckIrql("IoCreateDevice", PASSIVE_LEVEL);
    if (auto failure = TakeFailure(Routine::CreateDevice))
        return *failure;
    const bool named = DeviceName != nullptr && DeviceName->Length != 0;
    if (named && !ValidName(DeviceName))
        return STATUS_OBJECT_NAME_INVALID;

    State& s = S();
    std::lock_guard guard(s.mutex);
    if (FindDriver(s, DriverObject) == nullptr) {
        sim::faults::Report("IoCreateDevice with a driver object the I/O manager does not know");
        return STATUS_INVALID_PARAMETER;
    }
    const std::u16string name = named ? ToU16(*DeviceName) : std::u16string();
    if (named) {
        const std::u16string key = FoldCase(name);
        for (auto& r : s.devices)
            if (!r->deleted && !r->name.empty() && FoldCase(r->name) == key)
                return STATUS_OBJECT_NAME_COLLISION;
    }

    auto record = std::make_unique<DeviceRecord>();
    const size_t bytes = sizeof(DEVICE_OBJECT) + DeviceExtensionSize;
    record->memory = std::make_unique<std::max_align_t[]>((bytes + sizeof(std::max_align_t) - 1) /
                                                          sizeof(std::max_align_t));
    auto* device = reinterpret_cast<PDEVICE_OBJECT>(record->memory.get());
    std::memset(device, 0, sizeof(*device));
    device->Type = IO_TYPE_DEVICE;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->Flags =
        DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) | (named ? DO_DEVICE_HAS_NAME : 0);
    device->Characteristics = DeviceCharacteristics;
    device->DeviceType = DeviceType;
    device->StackSize = 1;
    if (DeviceExtensionSize != 0) {
        device->DeviceExtension = reinterpret_cast<uint8_t*>(device) + sizeof(DEVICE_OBJECT);
        std::memset(device->DeviceExtension, kExtensionFill, DeviceExtensionSize);
    }
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
    record->device = device;
    record->name = name;
    record->extensionSize = DeviceExtensionSize;
    s.devices.push_back(std::move(record));
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    CheckIrql("IoDeleteDevice", PASSIVE_LEVEL);
    std::vector<std::string> problems;
    {
        State& s = S();
        std::lock_guard guard(s.mutex);
        DeviceRecord* record = FindRecord(s, DeviceObject);
        if (record == nullptr || record->deleted) {
            problems.push_back("IoDeleteDevice of a device object that does not exist (deleted "
                               "twice?)");
        } else {
            const std::string name =
                record->name.empty() ? std::string("an unnamed device") : Narrow(record->name);
            if (DeviceObject->AttachedDevice != nullptr) {
                problems.push_back("IoDeleteDevice of " + name +
                                   " while another device is still attached above it");
                if (DeviceRecord* above = FindRecord(s, DeviceObject->AttachedDevice))
                    above->attachedTo = nullptr;
                DeviceObject->AttachedDevice = nullptr;
            }
            if (record->attachedTo != nullptr) {
                problems.push_back("IoDeleteDevice of " + name +
                                   " without IoDetachDevice from the device below");
                record->attachedTo->AttachedDevice = nullptr;
                record->attachedTo = nullptr;
            }
            if (!record->name.empty()) {
                const std::u16string key = FoldCase(record->name);
                for (auto& [linkKey, link] : s.links)
                    if (FoldCase(link.target) == key)
                        problems.push_back("IoDeleteDevice of " + name +
                                           " while the symbolic link " + Narrow(link.name) +
                                           " still names it");
            }
            // Unlink from the driver's device list.
            PDRIVER_OBJECT driver = DeviceObject->DriverObject;
            PDEVICE_OBJECT* link = &driver->DeviceObject;
            size_t steps = 0;
            while (*link != nullptr && *link != DeviceObject && steps++ <= s.devices.size())
                link = &(*link)->NextDevice;
            if (*link == DeviceObject)
                *link = DeviceObject->NextDevice;
            else
                problems.push_back("IoDeleteDevice of " + name +
                                   ": not found in its driver's device list");
            // The name leaves the namespace at once. The memory stays until Reset, so a late
            // call into the deleted device is reported instead of crashing the test.
            record->deleted = true;
        }
    }
    for (const auto& problem : problems)
        sim::faults::Report(problem);
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                 PDEVICE_OBJECT TargetDevice)
{
    CheckIrql("IoAttachDeviceToDeviceStack", PASSIVE_LEVEL);
    if (TakeFailure(Routine::AttachDeviceToDeviceStack))
        return nullptr;
    std::string problem;
    PDEVICE_OBJECT top = nullptr;
    {
        State& s = S();
        std::lock_guard guard(s.mutex);
        DeviceRecord* source = FindRecord(s, SourceDevice);
        DeviceRecord* target = FindRecord(s, TargetDevice);
        if (source == nullptr || source->deleted || target == nullptr) {
            problem = "IoAttachDeviceToDeviceStack with a device object that does not exist";
        } else if (source->attachedTo != nullptr) {
            problem = "IoAttachDeviceToDeviceStack: the source device is already attached";
        } else {
            top = TopOfStackLocked(s, TargetDevice);
            DeviceRecord* topRecord = FindRecord(s, top);
            if (topRecord == nullptr || topRecord->deleted) {
                top = nullptr; // a stack being torn down takes no new device
            } else {
                top->AttachedDevice = SourceDevice;
                source->attachedTo = top;
                SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
                SourceDevice->AlignmentRequirement =
                    std::max(SourceDevice->AlignmentRequirement, top->AlignmentRequirement);
            }
        }
    }
    if (!problem.empty())
        sim::faults::Report(problem);
    return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    CheckIrql("IoDetachDevice", PASSIVE_LEVEL);
    std::string problem;
    {
        State& s = S();
        std::lock_guard guard(s.mutex);
        DeviceRecord* target = FindRecord(s, TargetDevice);
        if (target == nullptr) {
            problem = "IoDetachDevice from a device object that does not exist";
        } else if (TargetDevice->AttachedDevice == nullptr) {
            problem = "IoDetachDevice from a device that has nothing attached";
        } else {
            if (DeviceRecord* above = FindRecord(s, TargetDevice->AttachedDevice))
                above->attachedTo = nullptr;
            TargetDevice->AttachedDevice = nullptr;
        }
    }
    if (!problem.empty())
        sim::faults::Report(problem);
}

// ---- symbolic links ------------------------------------------------------------------------

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

// ---- device interfaces -----------------------------------------------------------------------

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

// ---- system routine lookup -------------------------------------------------------------------

PVOID NTAPI MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName)
{
    CheckIrql("MmGetSystemRoutineAddress", PASSIVE_LEVEL);
    if (SystemRoutineName == nullptr || SystemRoutineName->Buffer == nullptr)
        return nullptr;
    const std::string name = Narrow(ToU16(*SystemRoutineName));
    {
        State& s = S();
        std::lock_guard guard(s.mutex);
        if (s.hiddenRoutines.count(name) != 0)
            return nullptr;
    }
    struct Export {
        const char* name;
        PVOID address;
    };
    static const Export kExports[] = {
        {"IoSetDeviceInterfacePropertyData",
         reinterpret_cast<PVOID>(&IoSetDeviceInterfacePropertyData)},
        {"IoSetDeviceInterfaceState", reinterpret_cast<PVOID>(&IoSetDeviceInterfaceState)},
        {"IoRegisterDeviceInterface", reinterpret_cast<PVOID>(&IoRegisterDeviceInterface)},
        {"IoCreateDevice", reinterpret_cast<PVOID>(&IoCreateDevice)},
        {"IoDeleteDevice", reinterpret_cast<PVOID>(&IoDeleteDevice)},
        {"IoCreateSymbolicLink", reinterpret_cast<PVOID>(&IoCreateSymbolicLink)},
        {"IoDeleteSymbolicLink", reinterpret_cast<PVOID>(&IoDeleteSymbolicLink)},
        {"IoAttachDeviceToDeviceStack", reinterpret_cast<PVOID>(&IoAttachDeviceToDeviceStack)},
        {"IoDetachDevice", reinterpret_cast<PVOID>(&IoDetachDevice)},
        {"IofCallDriver", reinterpret_cast<PVOID>(&IofCallDriver)},
        {"IofCompleteRequest", reinterpret_cast<PVOID>(&IofCompleteRequest)},
        {"PoStartNextPowerIrp", reinterpret_cast<PVOID>(&PoStartNextPowerIrp)},
        {"PoCallDriver", reinterpret_cast<PVOID>(&PoCallDriver)},
    };
    for (const auto& entry : kExports)
        if (name == entry.name)
            return entry.address;
    return nullptr;
}
