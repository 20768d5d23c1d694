/*
 * Requests the filter passes on: everything but Plug and Play goes down the
 * stack untouched, under the remove lock, so that removal cannot take the
 * device away while a request is on its way through.
 */
#include "mpsfilt.h"

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS NTAPI Dispatch_PassThrough(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    FilterExtension *filter = FilterOf(DeviceObject);
    NTSTATUS status = IoAcquireRemoveLock(&filter->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) return CompleteRequest(Irp, status, 0);

    IoSkipCurrentIrpStackLocation(Irp);
    status = IoCallDriver(filter->LowerDeviceObject, Irp);
    IoReleaseRemoveLock(&filter->RemoveLock, Irp);
    return status;
}

/* Windows before Vista starts the next power request of the device only
   when told, also for a request this device then refuses. */
NTSTATUS NTAPI Dispatch_Power(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    FilterExtension *filter = FilterOf(DeviceObject);
    PoStartNextPowerIrp(Irp);
    NTSTATUS status = IoAcquireRemoveLock(&filter->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) return CompleteRequest(Irp, status, 0);

    IoSkipCurrentIrpStackLocation(Irp);
    status = PoCallDriver(filter->LowerDeviceObject, Irp);
    IoReleaseRemoveLock(&filter->RemoveLock, Irp);
    return status;
}

/* Stops the completion walk here and wakes the routine that waits. */
NTSTATUS NTAPI OnRequestComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/* PASSIVE_LEVEL only: the lower drivers may complete from another thread. */
NTSTATUS ForwardAndWait(FilterExtension *Extension, PIRP Irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, OnRequestComplete, &done, TRUE, TRUE, TRUE);
    IoCallDriver(Extension->LowerDeviceObject, Irp);
    /* The routine runs on every way the request comes back, so the event is
       set whether or not the call pended. */
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    return Irp->IoStatus.Status;
}
