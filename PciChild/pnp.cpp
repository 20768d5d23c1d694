/*
 * Plug and Play requests of a filter device. Three are handled on the way
 * through: START gets the port's own resources, FILTER_RESOURCE_REQUIREMENTS
 * makes the port ask the PnP manager for nothing, and REMOVE takes the device
 * away once no request holds it. Everything else goes down untouched.
 */
#include "mpsfilt.h"

/* The lower drivers start with the narrowed lists; they are ours to free
   once the start is back. */
static NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status = RewriteStartResources(DeviceObject, stack);
    if (!NT_SUCCESS(status)) return CompleteRequest(Irp, status, 0);

    status = ForwardAndWait(FilterOf(DeviceObject), Irp);
    FreeStartResources(DeviceObject, stack);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS FilterRequirements(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NTSTATUS status = BuildRequirementsList(DeviceObject, Irp);
    if (!NT_SUCCESS(status)) return CompleteRequest(Irp, status, 0);

    status = ForwardAndWait(FilterOf(DeviceObject), Irp);
    FreeRequirementsList(DeviceObject, Irp);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI Dispatch_Pnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    FilterExtension *filter = FilterOf(DeviceObject);
    NTSTATUS status = IoAcquireRemoveLock(&filter->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) return CompleteRequest(Irp, status, 0);

    const UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    switch (minor) {
    case IRP_MN_START_DEVICE: status = StartDevice(DeviceObject, Irp); break;
    case IRP_MN_FILTER_RESOURCE_REQUIREMENTS: status = FilterRequirements(DeviceObject, Irp); break;
    default:
        IoSkipCurrentIrpStackLocation(Irp);
        status = IoCallDriver(filter->LowerDeviceObject, Irp);
        break;
    }

    if (minor == IRP_MN_REMOVE_DEVICE) {
        /* Requests still passing through finish first; later ones are
           refused by the lock. */
        IoReleaseRemoveLockAndWait(&filter->RemoveLock, Irp);
        IoDetachDevice(filter->LowerDeviceObject);
        IoDeleteDevice(DeviceObject);
    } else {
        IoReleaseRemoveLock(&filter->RemoveLock, Irp);
    }
    return status;
}
