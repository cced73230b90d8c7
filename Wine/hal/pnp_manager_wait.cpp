// Looks the PnP manager up by name, as a driver looks up another driver object, and reads its
// dispatch table: Wine's manager is in the driver tree before its initialisation routine runs,
// and that routine first records the manager, then installs its IRP_MJ_PNP handler, the only one
// it sets. Built against the DDK headers (the driver object); the four Win32 routines it needs
// are declared here, because <windows.h> and <ntddk.h> do not go together.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
extern "C" {
#include <ntddk.h>

__declspec(dllimport) PVOID NTAPI GetModuleHandleW(PCWSTR moduleName);
__declspec(dllimport) PVOID NTAPI GetProcAddress(PVOID module, PCSTR name);
__declspec(dllimport) VOID NTAPI Sleep(ULONG milliseconds);
__declspec(dllimport) ULONGLONG NTAPI GetTickCount64();
}

#include "pnp_manager_wait.hpp"

namespace kwohal {

namespace {

using ReferenceObjectByName = NTSTATUS(NTAPI*)(PUNICODE_STRING name, ULONG attributes,
                                               PACCESS_STATE accessState, ACCESS_MASK access,
                                               POBJECT_TYPE type, KPROCESSOR_MODE mode,
                                               PVOID parseContext, PVOID* object);
using DereferenceObject = VOID(NTAPI*)(PVOID object);

template <typename Routine> Routine KernelRoutine(PCSTR name)
{
    PVOID kernel = GetModuleHandleW(L"ntoskrnl.exe");
    return kernel == nullptr ? nullptr : reinterpret_cast<Routine>(GetProcAddress(kernel, name));
}

// True once the manager's initialisation routine has run.
bool PnpManagerReady(ReferenceObjectByName reference, DereferenceObject dereference)
{
    WCHAR nameBuffer[] = L"\\Driver\\PnpManager";
    UNICODE_STRING name;
    name.Buffer = nameBuffer;
    name.Length = sizeof(nameBuffer) - sizeof(WCHAR);
    name.MaximumLength = sizeof(nameBuffer);
    PVOID object = nullptr;
    if (!NT_SUCCESS(reference(&name, OBJ_CASE_INSENSITIVE, nullptr, 0, nullptr, KernelMode, nullptr,
                              &object)))
        return false;
    const auto* driver = static_cast<const volatile DRIVER_OBJECT*>(object);
    const bool ready = driver->MajorFunction[IRP_MJ_PNP] != driver->MajorFunction[IRP_MJ_CREATE];
    dereference(object);
    return ready;
}

} // namespace

int64_t WaitForPnpManager(uint32_t timeoutMs)
{
    const auto reference = KernelRoutine<ReferenceObjectByName>("ObReferenceObjectByName");
    const auto dereference = KernelRoutine<DereferenceObject>("ObDereferenceObject");
    if (reference == nullptr || dereference == nullptr)
        return -1;
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        if (PnpManagerReady(reference, dereference))
            return static_cast<int64_t>(GetTickCount64() - start);
        if (GetTickCount64() - start >= timeoutMs)
            return -1;
        Sleep(1);
    }
}

} // namespace kwohal
