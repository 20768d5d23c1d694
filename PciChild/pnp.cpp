/*
 * Plug and Play requests of a filter device. Three are handled on the way
 * through: START gets the port's own resources, FILTER_RESOURCE_REQUIREMENTS
 * makes the port ask the PnP manager for nothing, and REMOVE takes the device
 * away once no request holds it. Everything else goes down untouched.
 */
#include "mpsfilt.h"

static NTSTATUS PrepareStart(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return RewriteStartResources(DeviceObject, IoGetCurrentIrpStackLocation(Irp));
}

static NTSTATUS ReleaseStart(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return FreeStartResources(DeviceObject, IoGetCurrentIrpStackLocation(Irp));
}

/* Requests that carry something of the filter's own to the drivers below:
   it is made before the request goes down, and given back once the request
   is back here, before it goes up. */
struct ChangeOnTheWayDown {
    UCHAR MinorFunction;
    NTSTATUS (*Prepare)(PDEVICE_OBJECT DeviceObject, PIRP Irp);
    NTSTATUS (*Release)(PDEVICE_OBJECT DeviceObject, PIRP Irp);
};

static const ChangeOnTheWayDown kChanges[] = {
    {IRP_MN_START_DEVICE, PrepareStart, ReleaseStart},
    {IRP_MN_FILTER_RESOURCE_REQUIREMENTS, BuildRequirementsList, FreeRequirementsList},
};

/* A request that cannot be prepared fails here and never goes down. */
static NTSTATUS PassChanged(const ChangeOnTheWayDown *Change, PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    NTSTATUS status = Change->Prepare(DeviceObject, Irp);
    if (!NT_SUCCESS(status)) return CompleteRequest(Irp, status, 0);

    status = ForwardAndWait(FilterOf(DeviceObject), Irp);
    Change->Release(DeviceObject, Irp);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI Dispatch_Pnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    FilterExtension *filter = FilterOf(DeviceObject);
    NTSTATUS status = IoAcquireRemoveLock(&filter->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) return CompleteRequest(Irp, status, 0);

    const UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
    const ChangeOnTheWayDown *change = NULL;
    for (ULONG i = 0; i < sizeof(kChanges) / sizeof(kChanges[0]); ++i)
        if (kChanges[i].MinorFunction == minor) change = &kChanges[i];

    if (change != NULL) {
        status = PassChanged(change, DeviceObject, Irp);
    } else {
        IoSkipCurrentIrpStackLocation(Irp);
        status = IoCallDriver(filter->LowerDeviceObject, Irp);
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
