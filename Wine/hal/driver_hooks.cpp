// Hooks on the loaded driver: import slots, instruction sites, and the exception handler.
//  - MmMapIoSpace/MmUnmapIoSpace: Wine's return NULL (there is no physical memory to map), so
//    the driver's import slots are pointed at the simulated physical memory (firmware image).
//  - CPUID/RDMSR: carried out on the simulated processor at the patched sites (UD2).
//  - ExAllocatePoolWithTag/ExFreePool(WithTag): the simulated pool (pool_hooks.hpp).
//  - ZwOpenKey/ZwClose: counted, keys left open at unload reported (key_handles.hpp).
//  - IN/OUT (the x64 image's inline port access): carried out on the simulated port bus at the
//    listed sites, where they fault as privileged instructions in user mode.
//  - IofCompleteRequest: observed for the start status (start_observer.hpp).
//  - DbgPrint: Wine's writes to its debug channel only; the driver's import slot is pointed at
//    the HAL's (debug_print.hpp), which writes the text to debug.txt.
#include "driver_hooks.hpp"
#include "debug_print.hpp"
#include "key_handles.hpp"
#include "pnp_manager_wait.hpp"
#include "pool_hooks.hpp"
#include "start_observer.hpp"

#include <windows.h>

#include <cstring>
#include <mutex>
#include <string>

#include "hardware/hardware.hpp"
#include "kernel/rtl/text.hpp"
#include "session.hpp"

namespace kwohal {

namespace {

constexpr ULONG kDllNotificationLoaded = 1;   // LDR_DLL_NOTIFICATION_REASON_LOADED
constexpr ULONG kDllNotificationUnloaded = 2; // LDR_DLL_NOTIFICATION_REASON_UNLOADED

struct LoaderString {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
};
struct DllNotificationData {
    ULONG Flags;
    const LoaderString* FullDllName;
    const LoaderString* BaseDllName;
    PVOID DllBase;
    ULONG SizeOfImage;
};
using DllNotification = VOID(CALLBACK*)(ULONG reason, const DllNotificationData* data, PVOID);
using RegisterDllNotification = LONG(NTAPI*)(ULONG, DllNotification, PVOID, PVOID*);

SiteTable gSites;
uint8_t* gDriverBase = nullptr;
size_t gDriverSize = 0;
bool gSitesPatched = false;

// How long the driver's load waits for Wine's PnP manager (pnp_manager_wait.hpp).
constexpr uint32_t kPnpManagerTimeoutMs = 10000;

// The processor registers the emulation reads and writes.
#if defined(_WIN64)
DWORD64& InstructionPointer(CONTEXT& c)
{
    return c.Rip;
}
#define KWO_REG(c, name) (c).R##name
#else
DWORD& InstructionPointer(CONTEXT& c)
{
    return c.Eip;
}
#define KWO_REG(c, name) (c).E##name
#endif

bool InDriver(const void* address)
{
    const auto* p = static_cast<const uint8_t*>(address);
    return gDriverBase != nullptr && p >= gDriverBase && p < gDriverBase + gDriverSize;
}

PVOID WINAPI SimulatedMmMapIoSpace(LARGE_INTEGER address, SIZE_T length, int /*cacheType*/)
{
    void* mapped = nullptr;
    if (address.QuadPart >= 0)
        mapped = sim::hw::Current().memory.Map(static_cast<uint64_t>(address.QuadPart), length);
    FlushModelFaults();
    return mapped;
}

VOID WINAPI SimulatedMmUnmapIoSpace(PVOID address, SIZE_T length)
{
    sim::hw::Current().memory.Unmap(address, length);
    FlushModelFaults();
}

// The driver's import slot for a routine, or nullptr.
ULONG_PTR* ImportSlot(const char* dll, const char* routine)
{
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(gDriverBase);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(gDriverBase + dos->e_lfanew);
    const auto& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* d =
             reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(gDriverBase + directory.VirtualAddress);
         d->Name != 0; ++d) {
        if (_stricmp(reinterpret_cast<const char*>(gDriverBase + d->Name), dll) != 0)
            continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(gDriverBase + d->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(gDriverBase + d->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(
                gDriverBase + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), routine) == 0)
                return reinterpret_cast<ULONG_PTR*>(&slots->u1.Function);
        }
    }
    return nullptr;
}

void WriteSlot(ULONG_PTR* slot, const void* routine)
{
    DWORD old = 0;
    VirtualProtect(slot, sizeof(*slot), PAGE_READWRITE, &old);
    *slot = reinterpret_cast<ULONG_PTR>(routine);
    VirtualProtect(slot, sizeof(*slot), old, &old);
}

// What the HAL puts into the driver's ntoskrnl import slots: a replacement made from the routine
// the slot held. Without a required import the session cannot work as intended.
struct ImportHook {
    const char* routine;
    void* (*replacement)(void* original);
    bool required;
};

const ImportHook kImportHooks[] = {
    {"MmMapIoSpace", [](void*) { return reinterpret_cast<void*>(SimulatedMmMapIoSpace); }, true},
    {"MmUnmapIoSpace", [](void*) { return reinterpret_cast<void*>(SimulatedMmUnmapIoSpace); },
     true},
    {"DbgPrint", [](void*) { return reinterpret_cast<void*>(SimulatedDbgPrint); }, false},
    {"ExAllocatePoolWithTag", [](void*) { return PoolRoutine("ExAllocatePoolWithTag"); }, false},
    {"ExFreePoolWithTag", [](void*) { return PoolRoutine("ExFreePoolWithTag"); }, false},
    {"ExFreePool", [](void*) { return PoolRoutine("ExFreePool"); }, false},
    {"ZwOpenKey", TrackedOpenKey, false},
    {"ZwClose", TrackedClose, false},
    {"IofCompleteRequest", StartObserver, true},
};

void EmulateCpuid(CONTEXT& c)
{
    const auto r = sim::hw::Current().cpu.Cpuid(static_cast<uint32_t>(KWO_REG(c, ax)));
    KWO_REG(c, ax) = r[0];
    KWO_REG(c, bx) = r[1];
    KWO_REG(c, cx) = r[2];
    KWO_REG(c, dx) = r[3];
}

void EmulateRdmsr(CONTEXT& c)
{
    const uint64_t value = sim::hw::Current().cpu.ReadMsr(static_cast<uint32_t>(KWO_REG(c, cx)));
    KWO_REG(c, ax) = static_cast<uint32_t>(value);
    KWO_REG(c, dx) = static_cast<uint32_t>(value >> 32);
    FlushModelFaults();
}

// IN AL,DX / IN AL,imm8 and OUT DX,AL / OUT imm8,AL on the simulated port bus, which records
// them in the trace as READ_PORT_UCHAR and WRITE_PORT_UCHAR do on x86.
void EmulatePort(CONTEXT& c, const InstructionSite& site)
{
    const uint16_t port =
        site.bytes.size() == 2 ? site.bytes[1] : static_cast<uint16_t>(KWO_REG(c, dx));
    if (site.instruction == Instruction::In) {
        const uint8_t value = sim::hw::Current().ports.Read(port);
        KWO_REG(c, ax) = (KWO_REG(c, ax) & ~decltype(KWO_REG(c, ax)){0xFF}) | value;
    } else {
        sim::hw::Current().ports.Write(port, static_cast<uint8_t>(KWO_REG(c, ax)));
    }
    FlushModelFaults();
}

LONG CALLBACK OnException(EXCEPTION_POINTERS* info)
{
    const EXCEPTION_RECORD& record = *info->ExceptionRecord;
    CONTEXT& c = *info->ContextRecord;
    const auto* ip = reinterpret_cast<const uint8_t*>(InstructionPointer(c));
    if (!InDriver(ip))
        return EXCEPTION_CONTINUE_SEARCH;
    const auto rva = static_cast<uint32_t>(ip - gDriverBase);
    const InstructionSite* site = gSitesPatched ? FindSite(gSites, rva) : nullptr;
    if (record.ExceptionCode == EXCEPTION_ILLEGAL_INSTRUCTION && site != nullptr &&
        (site->instruction == Instruction::Cpuid || site->instruction == Instruction::Rdmsr)) {
        if (site->instruction == Instruction::Cpuid)
            EmulateCpuid(c);
        else
            EmulateRdmsr(c);
        InstructionPointer(c) += site->bytes.size();
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    if (record.ExceptionCode == EXCEPTION_PRIV_INSTRUCTION && site != nullptr &&
        (site->instruction == Instruction::In || site->instruction == Instruction::Out)) {
        EmulatePort(c, *site);
        InstructionPointer(c) += site->bytes.size();
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    Fault("exception " + sim::text::Hex(record.ExceptionCode, 8) + " in the driver at RVA " +
          sim::text::Hex(rva) + (site == nullptr ? " (not a listed instruction site)" : ""));
    return EXCEPTION_CONTINUE_SEARCH;
}

bool IsDriver(const DllNotificationData* data)
{
    if (data == nullptr || data->BaseDllName == nullptr)
        return false;
    const std::wstring name(data->BaseDllName->Buffer, data->BaseDllName->Length / sizeof(wchar_t));
    return _wcsicmp(name.c_str(), kDriverImageName) == 0;
}

VOID CALLBACK OnDllNotification(ULONG reason, const DllNotificationData* data, PVOID)
{
    if (!IsDriver(data))
        return;
    if (reason == kDllNotificationUnloaded) {
        Log("driver unloaded");
        sim::hw::Current().memory.ReportOutstandingMappings();
        ReportPoolLeftovers();
        ReportOpenKeys();
        FlushModelFaults();
        gDriverBase = nullptr;
        gSitesPatched = false;
        return;
    }
    if (reason == kDllNotificationLoaded)
        HookDriver(static_cast<uint8_t*>(data->DllBase), data->SizeOfImage);
}

} // namespace

void HookDriver(uint8_t* base, size_t size)
{
    // Announced by the loader and found at attach: hooked once.
    if (gDriverBase == base)
        return;
    gDriverBase = base;
    gDriverSize = size;
    Log("driver loaded");
    // Both ways here are the driver's load, before DriverEntry: the moment to hold it.
    const int64_t waited = WaitForPnpManager(kPnpManagerTimeoutMs);
    Log(waited < 0 ? "Wine's PnP manager did not start within " +
                         std::to_string(kPnpManagerTimeoutMs) + " ms"
                   : "Wine's PnP manager ready after " + std::to_string(waited) + " ms");
    try {
        sim::hw::Current().ports.StartTrace(SessionDirectory() / "ports.trace");
    } catch (const std::exception& error) {
        Fault(error.what());
    }
    for (const ImportHook& hook : kImportHooks) {
        if (ULONG_PTR* slot = ImportSlot("ntoskrnl.exe", hook.routine))
            WriteSlot(slot, hook.replacement(reinterpret_cast<void*>(*slot)));
        else if (hook.required)
            Fault(std::string("the driver imports no ") + hook.routine);
    }
    const std::string mismatch = PatchSites(gDriverBase, gSites);
    if (!mismatch.empty()) {
        Fault("instruction sites not patched: " + mismatch);
        return;
    }
    gSitesPatched = true;
    Log("patched " + std::to_string(gSites.sites.size()) + " instruction sites");
}

bool InstallDriverHooks(SiteTable sites)
{
    gSites = std::move(sites);
    AddVectoredExceptionHandler(1, OnException);
    auto reg = reinterpret_cast<RegisterDllNotification>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "LdrRegisterDllNotification")));
    PVOID cookie = nullptr;
    if (reg == nullptr || reg(0, OnDllNotification, nullptr, &cookie) < 0)
        return false;
    // Wine's x64 ntoskrnl.exe does not import hal.dll: the HAL arrives as the driver's own import,
    // after the loader announced the driver. Its imports are bound by then and DriverEntry has not
    // run, so the hooks go on now.
    if (HMODULE driver = GetModuleHandleW(kDriverImageName)) {
        auto* base = reinterpret_cast<uint8_t*>(driver);
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
        HookDriver(base, nt->OptionalHeader.SizeOfImage);
    }
    return true;
}

} // namespace kwohal
