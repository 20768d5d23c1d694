/*
 * PnP requests of the port devices. A port is the bottom of its stack, so
 * every request ends here: answered through the client's callbacks, or
 * completed with the status it carried when nobody answers it.
 */
#include "generic_internal.h"

#include "kernel_compat.h"

namespace {

/* A string answer (ID or text): the string goes up in Information. */
NTSTATUS AnswerString(PIRP Irp, NTSTATUS status, PWSTR answer)
{
    if (NT_SUCCESS(status)) Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(answer);
    else if (answer != NULL) ExFreePool(answer);
    return status;
}

NTSTATUS AnswerId(const GenericInitRecord &record, PDEVICE_OBJECT Port, PIRP Irp, PIO_STACK_LOCATION stack)
{
    if (record.QueryPortId == NULL) return Irp->IoStatus.Status;
    PWSTR id = NULL;
    NTSTATUS status = record.QueryPortId(Port, stack->Parameters.QueryId.IdType, &id);
    return AnswerString(Irp, status, id);
}

NTSTATUS AnswerText(const GenericInitRecord &record, PDEVICE_OBJECT Port, PIRP Irp, PIO_STACK_LOCATION stack)
{
    if (record.QueryPortText == NULL) return Irp->IoStatus.Status;
    PWSTR text = NULL;
    NTSTATUS status = record.QueryPortText(Port, stack->Parameters.QueryDeviceText.DeviceTextType, &text);
    return AnswerString(Irp, status, text);
}

NTSTATUS AnswerRelations(PDEVICE_OBJECT Port, PIRP Irp, PIO_STACK_LOCATION stack)
{
    if (stack->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation) return Irp->IoStatus.Status;
    return GenericAnswerTargetRelation(Port, Irp);
}

NTSTATUS AnswerInterface(const GenericInitRecord &record, PDEVICE_OBJECT Port, PIRP Irp)
{
    if (record.QueryPortInterface == NULL) return Irp->IoStatus.Status;
    NTSTATUS status = record.QueryPortInterface(Port, Irp);
    return status == STATUS_NOT_SUPPORTED ? Irp->IoStatus.Status : status;
}

NTSTATUS AnswerResources(const GenericInitRecord &record, PIRP Irp)
{
    if ((record.Options & GENERIC_OPTION_PORTS_USE_NO_RESOURCES) == 0) return Irp->IoStatus.Status;
    Irp->IoStatus.Information = 0;
    return STATUS_SUCCESS;
}

/* As the port's bus driver, the library reports the started port in D0:
   nobody else records it ("PoSetPowerState", "Powering Up a Device"). */
NTSTATUS StartPort(const GenericInitRecord &record, PDEVICE_OBJECT Port, PIO_STACK_LOCATION stack)
{
    NTSTATUS status = STATUS_SUCCESS;
    if (record.StartPort != NULL)
        status = record.StartPort(Port, stack->Parameters.StartDevice.AllocatedResources,
                                  stack->Parameters.StartDevice.AllocatedResourcesTranslated);
    if (NT_SUCCESS(status)) {
        POWER_STATE d0;
        d0.DeviceState = PowerDeviceD0;
        PoSetPowerState(Port, DevicePowerState, d0);
    }
    return status;
}

NTSTATUS HandlePortRequest(GenericArea *area, PDEVICE_OBJECT Port, PIRP Irp)
{
    const GenericInitRecord &record = area->Record;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return StartPort(record, Port, stack);
    /* A port holds nothing that a state change must release; its device
       object stays until the client deletes it with the board. */
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
        return STATUS_SUCCESS;
    case IRP_MN_QUERY_CAPABILITIES:
        if (record.QueryPortCapabilities == NULL) return Irp->IoStatus.Status;
        return record.QueryPortCapabilities(Port, &stack->Parameters.DeviceCapabilities.Capabilities);
    case IRP_MN_QUERY_ID:
        return AnswerId(record, Port, Irp, stack);
    case IRP_MN_QUERY_DEVICE_TEXT:
        return AnswerText(record, Port, Irp, stack);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        return AnswerRelations(Port, Irp, stack);
    case IRP_MN_QUERY_INTERFACE:
        return AnswerInterface(record, Port, Irp);
    case IRP_MN_QUERY_RESOURCES:
    case IRP_MN_QUERY_RESOURCE_REQUIREMENTS:
        return AnswerResources(record, Irp);
    default:
        return Irp->IoStatus.Status;
    }
}

}  // namespace

extern "C" NTSTATUS NTAPI GenericDispatchPnpForPDO(PVOID Area, PDEVICE_OBJECT Port, PIRP Irp)
{
    GenericArea *area = AreaOf(Area);
    /* The board's lock keeps the board (and the area in its extension) in
       place while a callback runs for one of its ports. */
    NTSTATUS status = IoAcquireRemoveLock(area->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) return GenericCompleteRequest(Irp, STATUS_NO_SUCH_DEVICE);
    status = HandlePortRequest(area, Port, Irp);
    GenericCompleteRequest(Irp, status);
    IoReleaseRemoveLock(area->RemoveLock, Irp);
    return status;
}
