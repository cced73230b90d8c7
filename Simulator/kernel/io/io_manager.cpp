// The simulated I/O manager's core: the object state and its lock, the text helpers, failure
// injection, reset, and the system routine lookup. Drivers, devices, IRPs, symbolic links and
// device interfaces live in the io_*.cpp files next to this one.
#include "kernel/io/io_manager.hpp"

#include <cstdio>
#include <cstring>

#include "kernel/pnp/bus_device.hpp"
#include "kernel/debug/faults.hpp"
#include "kernel/io/internal.hpp"
#include "kernel/io/objects.hpp"
#include "kernel/pnp/pnp_manager.hpp"
#include "kernel/io/remove_lock.hpp"
#include "sim_ntddk.h"
#include "kernel/ke/threads.hpp"

namespace sim::io {
namespace objects {

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

bool ValidName(const UNICODE_STRING* name)
{
    return name != nullptr && name->Buffer != nullptr && name->Length % 2 == 0 &&
           name->Length <= name->MaximumLength && name->Length >= 2 && name->Buffer[0] == L'\\';
}

} // namespace objects

using namespace objects;

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

bool CheckIrql(const char* routine, KIRQL maximum)
{
    const KIRQL irql = sim::threads::CurrentIrql();
    if (irql <= maximum)
        return true;
    sim::faults::Report(std::string(routine) + " called at IRQL " + std::to_string(irql) +
                        " (allowed up to " + std::to_string(maximum) + ")");
    return false;
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

// ---- reset -------------------------------------------------------------------------------------

void Reset()
{
    sim::bus::Reset();
    sim::pnp::Reset();
    ResetRemoveLocks();
    ResetRequests();
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

using namespace sim::io;
using sim::io::internal::CheckIrql;

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
