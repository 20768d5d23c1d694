/*
 * A well-behaved test driver: DriverEntry keeps a copy of its service key
 * path in pool and creates one device whose extension holds how many times
 * this copy of the image has been loaded; unload gives both back.
 */
#include <wdm.h>

namespace {

constexpr ULONG kTinyTag = 'ynyT';

struct TinyExtension {
    ULONG LoadNumber;
};

ULONG gLoadCount;           // zero in a freshly loaded image
PWCHAR gRegistryPathCopy;
PDEVICE_OBJECT gDevice;

}  // namespace

extern "C" VOID NTAPI TinyUnload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    IoDeleteDevice(gDevice);
    ExFreePoolWithTag(gRegistryPathCopy, kTinyTag);
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    NTSTATUS status = STATUS_SUCCESS;
    gRegistryPathCopy =
        static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, RegistryPath->Length + sizeof(WCHAR), kTinyTag));
    if (gRegistryPathCopy == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(gRegistryPathCopy, RegistryPath->Buffer, RegistryPath->Length);
    gRegistryPathCopy[RegistryPath->Length / sizeof(WCHAR)] = 0;

    status = IoCreateDevice(DriverObject, sizeof(TinyExtension), NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &gDevice);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(gRegistryPathCopy, kTinyTag);
        return status;
    }
    static_cast<TinyExtension *>(gDevice->DeviceExtension)->LoadNumber = ++gLoadCount;
    gDevice->Flags &= ~DO_DEVICE_INITIALIZING;
    DriverObject->DriverUnload = TinyUnload;
    return STATUS_SUCCESS;
}
