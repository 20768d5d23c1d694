/*
 * Reading one REG_DWORD setting. The value is handed to a query routine
 * rather than stored directly: a direct query writes a string or binary
 * value of the same name over the 4-byte target and what lies behind it,
 * and even with the type check it stores a REG_DWORD shorter than four bytes
 * over part of the target, which then reads as a number nobody set.
 */
#include "mpsfilt.h"

/* 255 characters and the terminator. */
#define REGISTRY_PATH_CHARS 256

/* Takes only a REG_DWORD of exactly four bytes; the kernel fails the query
   with any other status this returns. */
static NTSTATUS NTAPI TakeDword(PWSTR ValueName, ULONG ValueType, PVOID ValueData, ULONG ValueLength, PVOID Context,
                                PVOID EntryContext)
{
    UNREFERENCED_PARAMETER(ValueName);
    UNREFERENCED_PARAMETER(Context);
    if (ValueType != REG_DWORD || ValueLength != sizeof(ULONG)) return STATUS_OBJECT_TYPE_MISMATCH;
    RtlCopyMemory(EntryContext, ValueData, sizeof(ULONG));
    return STATUS_SUCCESS;
}

BOOLEAN MP_GetRegistryDword(PCWSTR Path, PCWSTR ValueName, PULONG Value)
{
    ULONG defaultValue = *Value;
    MP_DbgPrint(3, "Enter MP_GetRegistryDword() RegPath = %ws\n   ValueName =%ws\n", Path, ValueName);

    /* The zero fill terminates the copy. A longer path is not cut short to
       fit: a shortened path could name another key. */
    WCHAR path[REGISTRY_PATH_CHARS];
    RtlZeroMemory(path, sizeof(path));
    ULONG chars = 0;
    while (chars < REGISTRY_PATH_CHARS - 1 && Path[chars] != 0) {
        path[chars] = Path[chars];
        ++chars;
    }
    MP_DbgPrint(3, "MP_GetRegistryDword() path= %ws\n", path);
    if (Path[chars] != 0) return FALSE;

    RTL_QUERY_REGISTRY_TABLE table[2];
    RtlZeroMemory(table, sizeof(table));
    table[0].QueryRoutine = TakeDword;
    table[0].Flags = RTL_QUERY_REGISTRY_NOEXPAND;
    table[0].Name = const_cast<PWSTR>(ValueName);
    table[0].EntryContext = Value;
    /* A missing value is handed to the routine as this default. */
    table[0].DefaultType = REG_DWORD;
    table[0].DefaultData = &defaultValue;
    table[0].DefaultLength = sizeof(ULONG);

    NTSTATUS status = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, path, table, NULL, NULL);
    if (NT_SUCCESS(status)) {
        MP_DbgPrint(3, "Exit MP_GetRegistryDword() SUCCESS, value = decimal %d 0x%x\n", *Value, *Value);
        return TRUE;
    }
    if (status == STATUS_INVALID_PARAMETER) MP_DbgPrint(3, "MP_GetRegistryDword() STATUS_INVALID_PARAMETER\n");
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) MP_DbgPrint(3, "MP_GetRegistryDword() STATUS_OBJECT_NAME_NOT_FOUND\n");
    return FALSE;
}
