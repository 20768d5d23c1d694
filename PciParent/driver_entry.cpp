/*
 * Loading and unloading mpsbus. It answers only PnP, power and WMI requests;
 * every other request gets the I/O manager's default refusal.
 */
#include "mpsbus.h"

UNICODE_STRING RegistryPathCopy;

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    /* WDM 1.10 (Windows 2000) is the oldest kernel whose PnP behaviour the
       driver relies on. */
    if (!IoIsWdmVersionAvailable(1, 0x10)) return STATUS_UNSUCCESSFUL;
    gNonPagedPoolType = NonPagedPoolOfRunningWindows();

    /* Two more bytes keep the copy NUL-terminated. */
    RegistryPathCopy.Length = 0;
    RegistryPathCopy.MaximumLength = (USHORT)(RegistryPath->Length + sizeof(WCHAR));
    RegistryPathCopy.Buffer =
        static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, RegistryPathCopy.MaximumLength, MPS_POOL_TAG));
    if (RegistryPathCopy.Buffer == NULL) {
        RegistryPathCopy.MaximumLength = 0;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(RegistryPathCopy.Buffer, RegistryPathCopy.MaximumLength);
    RtlCopyUnicodeString(&RegistryPathCopy, RegistryPath);

    DriverObject->DriverExtension->AddDevice = AddBoardDevice;
    DriverObject->DriverUnload = BusUnload;
    DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    return STATUS_SUCCESS;
}

/* Every device is gone by now: the PnP manager unloads after the last
   board's removal. */
VOID NTAPI BusUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    if (RegistryPathCopy.Buffer != NULL) ExFreePool(RegistryPathCopy.Buffer);
    RegistryPathCopy.Buffer = NULL;
    RegistryPathCopy.Length = RegistryPathCopy.MaximumLength = 0;
}
