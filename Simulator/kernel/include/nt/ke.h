// Dispatcher objects, waits, IRQL and critical regions.
// Events are plain data: one simulated dispatcher lock and condition variable serve every wait,
// as the real kernel's dispatcher database does, so an event may live on a driver's stack.
#pragma once

#include "types.h"

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;

typedef enum _KWAIT_REASON { Executive = 0, UserRequest = 6 } KWAIT_REASON;

typedef struct _DISPATCHER_HEADER {
    UCHAR Type;
    LONG SignalState;
} DISPATCHER_HEADER;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef LONG KPRIORITY;
#define IO_NO_INCREMENT 0
#define EVENT_INCREMENT 1

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
VOID NTAPI KeClearEvent(PRKEVENT Event);
LONG NTAPI KeResetEvent(PRKEVENT Event);
LONG NTAPI KeReadStateEvent(PRKEVENT Event);
NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout);
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102L)

VOID NTAPI KeEnterCriticalRegion(VOID);
VOID NTAPI KeLeaveCriticalRegion(VOID);
KIRQL NTAPI KeGetCurrentIrql(VOID);

// Pageable code must run below DISPATCH_LEVEL; the simulator checks it like a checked build.
VOID NTAPI SimCheckPagedCode(const char* Function);
#define PAGED_CODE() SimCheckPagedCode(__func__)
