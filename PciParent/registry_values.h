/* Single values of a registry key that the caller has opened. */
#pragma once

#include "mpsbus.h"

/* Reads one value into Buffer. NameSize counts the name's bytes with its
   terminating NUL. The buffer is zero-filled first, so a shorter value is
   zero-extended; a value longer than the buffer is not read and gives
   STATUS_BUFFER_OVERFLOW. The value's type is not examined. */
NTSTATUS QueryRegistryValue(HANDLE Key, PCWSTR Name, ULONG NameSize, PVOID Buffer, ULONG BufferSize);

/* Writes one value; NameSize as above. */
NTSTATUS SetRegistryValue(HANDLE Key, PCWSTR Name, ULONG NameSize, ULONG Type, PVOID Data, ULONG DataSize);
