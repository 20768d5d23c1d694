/*
 * Power requests. The board's power policy belongs to the drivers below it,
 * so its requests go down; a port has no hardware state of its own to
 * change, so its requests succeed where they must and end here.
 */
#include "generic_internal.h"

extern "C" NTSTATUS NTAPI GenericDispatchPower(PVOID Area, PIRP Irp)
{
    GenericArea *area = AreaOf(Area);
    NTSTATUS status = IoAcquireRemoveLock(area->RemoveLock, Irp);
    /* The power manager holds the next request until this one lets it go. */
    PoStartNextPowerIrp(Irp);
    if (!NT_SUCCESS(status)) return GenericCompleteRequest(Irp, status);
    IoSkipCurrentIrpStackLocation(Irp);
    status = PoCallDriver(area->Record.LowerDeviceObject, Irp);
    IoReleaseRemoveLock(area->RemoveLock, Irp);
    return status;
}

extern "C" NTSTATUS NTAPI GenericDispatchPowerForPDO(PVOID Area, PIRP Irp)
{
    UNREFERENCED_PARAMETER(Area);
    NTSTATUS status = Irp->IoStatus.Status;
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_SET_POWER:
    case IRP_MN_QUERY_POWER:
        status = STATUS_SUCCESS;
        break;
    default:
        /* Wait-wake and power sequences are not offered: keep the status. */
        break;
    }
    PoStartNextPowerIrp(Irp);
    return GenericCompleteRequest(Irp, status);
}
