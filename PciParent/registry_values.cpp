#include "registry_values.h"

/* The fixed part of a KEY_VALUE_FULL_INFORMATION answer (20 bytes on
   either target) and the alignment of its data behind the name. */
const ULONG FullInformationOverhead = FIELD_OFFSET(KEY_VALUE_FULL_INFORMATION, Name) + sizeof(ULONG);

NTSTATUS QueryRegistryValue(HANDLE Key, PCWSTR Name, ULONG NameSize, PVOID Buffer, ULONG BufferSize)
{
    /* Callers read words that they then complete and store: nothing of what
       the buffer held before may pass for part of the value. */
    RtlZeroMemory(Buffer, BufferSize);

    ULONG workSize = NameSize + BufferSize + FullInformationOverhead;
    PKEY_VALUE_FULL_INFORMATION work =
        static_cast<PKEY_VALUE_FULL_INFORMATION>(ExAllocatePoolWithTag(PagedPool, workSize, MPS_POOL_TAG));
    if (work == NULL) return STATUS_INSUFFICIENT_RESOURCES;

    UNICODE_STRING name;
    name.Buffer = const_cast<PWSTR>(Name);
    name.Length = static_cast<USHORT>(NameSize - sizeof(WCHAR));
    name.MaximumLength = static_cast<USHORT>(NameSize);
    ULONG resultLength = 0;
    NTSTATUS status = ZwQueryValueKey(Key, &name, KeyValueFullInformation, work, workSize, &resultLength);
    if (NT_SUCCESS(status)) {
        if (work->DataLength > BufferSize)
            status = STATUS_BUFFER_OVERFLOW;
        else if (work->DataLength != 0)
            RtlCopyMemory(Buffer, reinterpret_cast<PUCHAR>(work) + work->DataOffset, work->DataLength);
    }

    ExFreePool(work);
    return status;
}

NTSTATUS SetRegistryValue(HANDLE Key, PCWSTR Name, ULONG NameSize, ULONG Type, PVOID Data, ULONG DataSize)
{
    ULONG copySize = NameSize + sizeof(WCHAR);
    PWSTR copy = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, copySize, MPS_POOL_TAG));
    if (copy == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(copy, copySize);
    RtlCopyMemory(copy, Name, NameSize);

    UNICODE_STRING name;
    name.Buffer = copy;
    name.Length = static_cast<USHORT>(NameSize - sizeof(WCHAR));
    name.MaximumLength = static_cast<USHORT>(copySize);
    NTSTATUS status = ZwSetValueKey(Key, &name, 0, Type, Data, DataSize);

    ExFreePool(copy);
    return status;
}
