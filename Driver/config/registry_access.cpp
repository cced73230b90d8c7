// Opening registry keys for the configuration store: absolute paths and subkeys of an open key,
// always for reading, case-insensitive, as kernel handles. Pageable.
#include "board_config.h"

// Opens Path (absolute) or, with a Parent, Path relative to it.
KWO_PAGED_CODE static NTSTATUS OpenKeyForReading(HANDLE Parent, PUNICODE_STRING Path, PHANDLE Key)
{
    OBJECT_ATTRIBUTES attributes;
    HANDLE handle = NULL;
    NTSTATUS status;

    PAGED_CODE();

    if (Path == NULL) {
        return STATUS_INVALID_PARAMETER_1;
    }
    if (Key == NULL) {
        return STATUS_INVALID_PARAMETER_2;
    }
    *Key = NULL;

    InitializeObjectAttributes(&attributes, Path, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, Parent,
                               NULL);
    status = ZwOpenKey(&handle, KEY_READ, &attributes);
    if (NT_SUCCESS(status)) {
        *Key = handle;
    }
    return status;
}

// Opens an absolute registry path for reading. On failure *Key stays null.
KWO_PAGED_CODE NTSTATUS OpenRegistryKey(PUNICODE_STRING Path, PHANDLE Key)
{
    PAGED_CODE();

    return OpenKeyForReading(NULL, Path, Key);
}

// Opens the subkey Name of the open key Parent for reading. On failure *Key stays null.
KWO_PAGED_CODE NTSTATUS OpenRegistrySubkey(HANDLE Parent, PUNICODE_STRING Name, PHANDLE Key)
{
    PAGED_CODE();

    return OpenKeyForReading(Parent, Name, Key);
}
