/*
 * Loading and unloading mpsfilt. The filter passes every request down; it
 * looks only at Plug and Play requests on their way through.
 */
#include "mpsfilt.h"

ULONG DebugLevel = 2;
UNICODE_STRING RegistryPathCopy;
/* The filter takes paged pool only; a nonpaged block would take this type. */
POOL_TYPE gNonPagedPoolType = NonPagedPool;

/* The level is read from the board family's service key, not from the
   filter's own, so one setting covers every port of every board. */
static const WCHAR kParametersPath[] =
    L"\\REGISTRY\\Machine\\System\\CurrentControlSet\\SERVICES\\VelmoraMultiportSerial\\Parameters";

/* Where the unload check is reported from, as a checked build's ASSERT would
   name it. */
static const char kUnloadCheckFile[] = "main";
static const ULONG kUnloadCheckLine = 166;

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    /* Read first, so that even the refusal below obeys the configured level. */
    MP_GetRegistryDword(kParametersPath, L"DebugLevel", &DebugLevel);

    if (!IoIsWdmVersionAvailable(1, 0x10)) {
        MP_DbgPrint(1, "WDM 1.10 not available, driver load aborted!\n");
        return STATUS_UNSUCCESSFUL;
    }
    gNonPagedPoolType = NonPagedPoolOfRunningWindows();
    /* The path is a counted string: nothing says a NUL follows it, so the
       trace reads no further than its length. */
    MP_DbgPrint(1, "Entering DriverEntry(), Service Key Name =\n    %.*ws\n", int(RegistryPath->Length / sizeof(WCHAR)),
                RegistryPath->Buffer);

    /* Two more bytes keep the copy NUL-terminated. */
    RegistryPathCopy.Length = 0;
    RegistryPathCopy.MaximumLength = (USHORT)(RegistryPath->Length + sizeof(WCHAR));
    RegistryPathCopy.Buffer = static_cast<PWSTR>(MP_ExAllocatePool(PagedPool, RegistryPathCopy.MaximumLength));
    if (RegistryPathCopy.Buffer == NULL) {
        RegistryPathCopy.MaximumLength = 0;
        MP_DbgPrint(1, "Can't allocate a buffer for the copy of the service key name!\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(RegistryPathCopy.Buffer, RegistryPathCopy.MaximumLength);
    RtlCopyUnicodeString(&RegistryPathCopy, RegistryPath);

    DriverObject->DriverExtension->AddDevice = Dispatch_AddDevice;
    DriverObject->DriverUnload = MP_Unload;
    for (ULONG major = 0; major <= IRP_MJ_SET_QUOTA; ++major) DriverObject->MajorFunction[major] = Dispatch_PassThrough;
    DriverObject->MajorFunction[IRP_MJ_PNP] = Dispatch_Pnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = Dispatch_Power;

    MP_DbgPrint(2, "exiting DriverEntry\n");
    return STATUS_SUCCESS;
}

/* Every filter device is gone by now: the PnP manager unloads the driver
   after the last removal, so whatever is still counted was never given back. */
VOID NTAPI MP_Unload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    MP_DbgPrint(2, "enter MP_Unload\n");

    if (RegistryPathCopy.Buffer != NULL) MP_ExFreePool(RegistryPathCopy.Buffer);
    RegistryPathCopy.Buffer = NULL;
    RegistryPathCopy.Length = RegistryPathCopy.MaximumLength = 0;

    if (gExAllocCount != 0) {
        RtlAssert((PVOID) "gExAllocCount == 0", (PVOID)kUnloadCheckFile, kUnloadCheckLine, NULL);
    }
    MP_DbgPrint(2, "exit MP_Unload\n");
}
