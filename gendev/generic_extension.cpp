/*
 * Binding a board to the library, and the remove lock that keeps the board
 * in place while a request or a client's reference is using it.
 */
#include "generic_internal.h"

#include "kernel_compat.h"

extern "C" ULONG NTAPI GetSizeofGenericExtension(void)
{
    return (sizeof(GenericArea) + sizeof(PVOID) - 1) & ~(sizeof(PVOID) - 1);
}

static BOOLEAN RecordIsUsable(const GenericInitRecord *Record)
{
    return Record != NULL && Record->Size == GENERIC_INIT_RECORD_SIZE && Record->DeviceObject != NULL &&
           Record->LowerDeviceObject != NULL && Record->RemoveLock != NULL && Record->StartDevice != NULL &&
           Record->StopDevice != NULL && Record->RemoveDevice != NULL &&
           (Record->Options & ~GENERIC_OPTIONS_KNOWN) == 0 && Record->NameString.Length == 0;
}

extern "C" NTSTATUS NTAPI InitializeGenericExtension(PVOID Area, const GenericInitRecord *Record)
{
    if (Area == NULL) return STATUS_INVALID_PARAMETER;
    GenericArea *area = AreaOf(Area);
    RtlZeroMemory(area, sizeof(*area));
    if (!RecordIsUsable(Record)) return STATUS_INVALID_PARAMETER;

    RtlCopyMemory(&area->Record, Record, sizeof(area->Record));
    area->RemoveLock = static_cast<PIO_REMOVE_LOCK>(Record->RemoveLock);
    area->State = GenericNotStarted;
    IoInitializeRemoveLock(area->RemoveLock, MPS_POOL_TAG, 0, 0);
    return STATUS_SUCCESS;
}

extern "C" VOID NTAPI CleanupGenericExtension(PVOID Area)
{
    /* The area holds no allocation of its own; forgetting the record keeps a
       stale one from being used by mistake. */
    if (Area != NULL) RtlZeroMemory(Area, sizeof(GenericArea));
}

extern "C" NTSTATUS NTAPI GenericAcquireRemoveLock(PVOID RemoveLock, PVOID Tag)
{
    return IoAcquireRemoveLock(static_cast<PIO_REMOVE_LOCK>(RemoveLock), Tag);
}

extern "C" VOID NTAPI GenericReleaseRemoveLock(PVOID RemoveLock, PVOID Tag)
{
    IoReleaseRemoveLock(static_cast<PIO_REMOVE_LOCK>(RemoveLock), Tag);
}

NTSTATUS GenericCompleteRequest(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

static NTSTATUS NTAPI SignalLowerDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    /* The request stays ours: the waiting dispatch routine completes it. */
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS GenericForwardAndWait(PDEVICE_OBJECT Lower, PIRP Irp)
{
    KEVENT lowerDone;
    KeInitializeEvent(&lowerDone, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalLowerDone, &lowerDone, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(Lower, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&lowerDone, Executive, KernelMode, FALSE, NULL);
        status = Irp->IoStatus.Status;
    }
    return status;
}
