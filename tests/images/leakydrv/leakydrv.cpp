/*
 * A test driver that forgets its pool: DriverEntry allocates a block it never
 * frees, and refuses to load below WDM 1.10 after allocating it.
 */
#include <wdm.h>

namespace {
PVOID gForgotten;
}

extern "C" VOID NTAPI LeakyUnload(PDRIVER_OBJECT DriverObject) { UNREFERENCED_PARAMETER(DriverObject); }

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    UNREFERENCED_PARAMETER(RegistryPath);
    gForgotten = ExAllocatePoolWithTag(NonPagedPool, 32, 'kaeL');
    if (!IoIsWdmVersionAvailable(1, 0x10)) return STATUS_NOT_SUPPORTED;
    DriverObject->DriverUnload = LeakyUnload;
    return STATUS_SUCCESS;
}
