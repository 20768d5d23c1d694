/*
 * PnP requests of the board device. Every request is handled under the
 * board's remove lock; what the board does not handle itself goes down the
 * stack untouched.
 */
#include "generic_internal.h"

#include "kernel_compat.h"

namespace {

PDEVICE_OBJECT BoardOf(GenericArea *area) { return area->Record.DeviceObject; }

NTSTATUS PassDown(GenericArea *area, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = IoCallDriver(area->Record.LowerDeviceObject, Irp);
    IoReleaseRemoveLock(area->RemoveLock, Irp);
    return status;
}

NTSTATUS PassDownWithSuccess(GenericArea *area, PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(area, Irp);
}

NTSTATUS CompleteAndRelease(GenericArea *area, PIRP Irp, NTSTATUS status)
{
    GenericCompleteRequest(Irp, status);
    IoReleaseRemoveLock(area->RemoveLock, Irp);
    return status;
}

/* Whatever a START acquired is released once, before the board goes or
   starts again. */
void StopIfOwed(GenericArea *area, PIRP Irp)
{
    if (!area->StopOwed) return;
    area->StopOwed = FALSE;
    area->Record.StopDevice(BoardOf(area), Irp);
}

NTSTATUS StartBoard(GenericArea *area, PIRP Irp)
{
    /* Owed even if the start fails below: the client may have taken
       resources before the request reached us. */
    area->StopOwed = TRUE;
    NTSTATUS status = GenericForwardAndWait(area->Record.LowerDeviceObject, Irp);
    if (NT_SUCCESS(status)) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
        status = area->Record.StartDevice(BoardOf(area), stack->Parameters.StartDevice.AllocatedResources,
                                          stack->Parameters.StartDevice.AllocatedResourcesTranslated);
    }
    if (NT_SUCCESS(status)) {
        /* The power manager records only what the drivers report: a started
           board is in D0 ("PoSetPowerState", "Powering Up a Device"). */
        POWER_STATE d0;
        d0.DeviceState = PowerDeviceD0;
        PoSetPowerState(BoardOf(area), DevicePowerState, d0);
        area->State = GenericStarted;
    }
    return CompleteAndRelease(area, Irp, status);
}

NTSTATUS QueryStateChange(GenericArea *area, PIRP Irp, PGENERIC_BOOLEAN_QUERY mayChange,
                          GenericBoardState pending)
{
    if (mayChange != NULL && !mayChange(BoardOf(area))) return CompleteAndRelease(area, Irp, STATUS_UNSUCCESSFUL);
    if (area->State != GenericStopPending && area->State != GenericRemovePending) area->StateBeforeQuery = area->State;
    area->State = pending;
    return PassDownWithSuccess(area, Irp);
}

/* Cancels are handled on the way up: the lower drivers undo first. */
NTSTATUS CancelStateChange(GenericArea *area, PIRP Irp, GenericBoardState pending)
{
    Irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = GenericForwardAndWait(area->Record.LowerDeviceObject, Irp);
    if (area->State == pending) area->State = area->StateBeforeQuery;
    return CompleteAndRelease(area, Irp, status);
}

NTSTATUS StopBoardDevice(GenericArea *area, PIRP Irp)
{
    StopIfOwed(area, Irp);
    area->State = GenericStopped;
    return PassDownWithSuccess(area, Irp);
}

NTSTATUS SurpriseRemoveBoard(GenericArea *area, PIRP Irp)
{
    /* The hardware is gone: release it now, but keep the device and its
       attachment until IRP_MN_REMOVE_DEVICE. */
    StopIfOwed(area, Irp);
    area->State = GenericSurpriseRemoved;
    return PassDownWithSuccess(area, Irp);
}

NTSTATUS RemoveBoardDevice(GenericArea *area, PIRP Irp)
{
    StopIfOwed(area, Irp);
    area->State = GenericRemoved;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = IoCallDriver(area->Record.LowerDeviceObject, Irp);

    /* Releases this request's acquisition and waits out every other one:
       requests on other threads and interface references of the ports. */
    IoReleaseRemoveLockAndWait(area->RemoveLock, Irp);

    /* RemoveDevice frees the extension that holds the area. */
    PDEVICE_OBJECT board = BoardOf(area);
    PGENERIC_REMOVE_DEVICE removeDevice = area->Record.RemoveDevice;
    CleanupGenericExtension(area);
    removeDevice(board);
    return status;
}

/* Gives back what a relations list holds: its references and its block. */
void ReleaseRelations(PDEVICE_RELATIONS relations)
{
    for (ULONG i = 0; i < relations->Count; ++i) ObDereferenceObject(relations->Objects[i]);
    ExFreePool(relations);
}

/* One block holding the lower drivers' entries, then ours; both inputs are
   consumed. Null when the block cannot be had (everything released). */
PDEVICE_RELATIONS MergeRelations(PDEVICE_RELATIONS earlier, PDEVICE_RELATIONS ours)
{
    ULONG count = earlier->Count + ours->Count;
    ULONG size = FIELD_OFFSET(DEVICE_RELATIONS, Objects) + count * sizeof(PDEVICE_OBJECT);
    PDEVICE_RELATIONS merged = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, size, MPS_POOL_TAG));
    if (merged == NULL) {
        ReleaseRelations(earlier);
        ReleaseRelations(ours);
        return NULL;
    }
    merged->Count = count;
    RtlCopyMemory(merged->Objects, earlier->Objects, earlier->Count * sizeof(PDEVICE_OBJECT));
    RtlCopyMemory(merged->Objects + earlier->Count, ours->Objects, ours->Count * sizeof(PDEVICE_OBJECT));
    ExFreePool(earlier);
    ExFreePool(ours);
    return merged;
}

NTSTATUS ReportBusRelations(GenericArea *area, PIRP Irp)
{
    PDEVICE_RELATIONS ours = NULL;
    NTSTATUS status = area->Record.QueryBusRelations(BoardOf(area), &ours);
    if (!NT_SUCCESS(status)) {
        if (ours != NULL) ExFreePool(ours);
        /* The request fails, so nobody else will give back what a driver
           above has already listed. */
        PDEVICE_RELATIONS earlier = reinterpret_cast<PDEVICE_RELATIONS>(Irp->IoStatus.Information);
        if (earlier != NULL) ReleaseRelations(earlier);
        Irp->IoStatus.Information = 0;
        return CompleteAndRelease(area, Irp, status);
    }
    if (ours == NULL) return PassDownWithSuccess(area, Irp);

    /* The PnP manager drops one reference per listed device. */
    for (ULONG i = 0; i < ours->Count; ++i) ObReferenceObject(ours->Objects[i]);

    PDEVICE_RELATIONS earlier = reinterpret_cast<PDEVICE_RELATIONS>(Irp->IoStatus.Information);
    PDEVICE_RELATIONS answer = earlier == NULL ? ours : MergeRelations(earlier, ours);
    if (answer == NULL) {
        Irp->IoStatus.Information = 0;
        return CompleteAndRelease(area, Irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(answer);
    return PassDownWithSuccess(area, Irp);
}

}  // namespace

extern "C" NTSTATUS NTAPI GenericDispatchPnp(PVOID Area, PIRP Irp)
{
    GenericArea *area = AreaOf(Area);
    NTSTATUS status = IoAcquireRemoveLock(area->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) return GenericCompleteRequest(Irp, status);

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return StartBoard(area, Irp);
    case IRP_MN_QUERY_STOP_DEVICE:
        return QueryStateChange(area, Irp, area->Record.BooleanQuery1, GenericStopPending);
    case IRP_MN_QUERY_REMOVE_DEVICE:
        return QueryStateChange(area, Irp, area->Record.BooleanQuery2, GenericRemovePending);
    case IRP_MN_CANCEL_STOP_DEVICE:
        return CancelStateChange(area, Irp, GenericStopPending);
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        return CancelStateChange(area, Irp, GenericRemovePending);
    case IRP_MN_STOP_DEVICE:
        return StopBoardDevice(area, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
        return SurpriseRemoveBoard(area, Irp);
    case IRP_MN_REMOVE_DEVICE:
        return RemoveBoardDevice(area, Irp);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == BusRelations && area->Record.QueryBusRelations != NULL)
            return ReportBusRelations(area, Irp);
        return PassDown(area, Irp);
    default:
        return PassDown(area, Irp);
    }
}
