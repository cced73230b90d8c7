// Hooks on the loaded driver: import slots, instruction sites, and the exception handler.
//  - MmMapIoSpace/MmUnmapIoSpace: Wine's return NULL (there is no physical memory to map), so
//    the driver's import slots are pointed at the simulated physical memory (firmware image).
//  - CPUID/RDMSR: carried out on the simulated processor at the patched sites (UD2).
//  - DbgPrint: Wine raises DBG_PRINTEXCEPTION_C with the formatted text, as Windows does for a
//    debugger; the text goes to debug.txt.
#include "driver_hooks.hpp"

#include <windows.h>

#include <cstring>
#include <mutex>
#include <string>

#include "hardware/hardware.hpp"
#include "kernel/text.hpp"
#include "session.hpp"

namespace kwohal {

namespace {

constexpr DWORD kDbgPrintException = 0x40010006; // DBG_PRINTEXCEPTION_C
constexpr ULONG kDllNotificationLoaded = 1;      // LDR_DLL_NOTIFICATION_REASON_LOADED
constexpr ULONG kDllNotificationUnloaded = 2;    // LDR_DLL_NOTIFICATION_REASON_UNLOADED

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

bool PatchImport(const char* dll, const char* routine, void* replacement)
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
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), routine) != 0)
                continue;
            DWORD old = 0;
            VirtualProtect(&slots->u1.Function, sizeof(void*), PAGE_READWRITE, &old);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof(void*), old, &old);
            return true;
        }
    }
    return false;
}

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

LONG CALLBACK OnException(EXCEPTION_POINTERS* info)
{
    const EXCEPTION_RECORD& record = *info->ExceptionRecord;
    if (record.ExceptionCode == kDbgPrintException && record.NumberParameters >= 2) {
        const auto length = static_cast<size_t>(record.ExceptionInformation[0]);
        const auto* text = reinterpret_cast<const char*>(record.ExceptionInformation[1]);
        if (text != nullptr && length != 0)
            Debug(std::string(text, strnlen(text, length)));
        return EXCEPTION_CONTINUE_SEARCH;
    }
    CONTEXT& c = *info->ContextRecord;
    const auto* ip = reinterpret_cast<const uint8_t*>(InstructionPointer(c));
    if (!InDriver(ip))
        return EXCEPTION_CONTINUE_SEARCH;
    const auto rva = static_cast<uint32_t>(ip - gDriverBase);
    const InstructionSite* site = gSitesPatched ? FindSite(gSites, rva) : nullptr;
    if (record.ExceptionCode == EXCEPTION_ILLEGAL_INSTRUCTION && site != nullptr) {
        if (site->instruction == Instruction::Cpuid)
            EmulateCpuid(c);
        else
            EmulateRdmsr(c);
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
        FlushModelFaults();
        gDriverBase = nullptr;
        gSitesPatched = false;
        return;
    }
    if (reason != kDllNotificationLoaded)
        return;
    gDriverBase = static_cast<uint8_t*>(data->DllBase);
    gDriverSize = data->SizeOfImage;
    Log("driver loaded");
    try {
        sim::hw::Current().ports.StartTrace(SessionDirectory() / "ports.trace");
    } catch (const std::exception& error) {
        Fault(error.what());
    }
    if (!PatchImport("ntoskrnl.exe", "MmMapIoSpace",
                     reinterpret_cast<void*>(SimulatedMmMapIoSpace)))
        Fault("the driver imports no MmMapIoSpace");
    if (!PatchImport("ntoskrnl.exe", "MmUnmapIoSpace",
                     reinterpret_cast<void*>(SimulatedMmUnmapIoSpace)))
        Fault("the driver imports no MmUnmapIoSpace");
    const std::string mismatch = PatchSites(gDriverBase, gSites);
    if (!mismatch.empty()) {
        Fault("instruction sites not patched: " + mismatch);
        return;
    }
    gSitesPatched = true;
    Log("patched " + std::to_string(gSites.sites.size()) + " instruction sites");
}

} // namespace

bool InstallDriverHooks(SiteTable sites)
{
    gSites = std::move(sites);
    AddVectoredExceptionHandler(1, OnException);
    auto reg = reinterpret_cast<RegisterDllNotification>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "LdrRegisterDllNotification")));
    PVOID cookie = nullptr;
    return reg != nullptr && reg(0, OnDllNotification, nullptr, &cookie) >= 0;
}

} // namespace kwohal
