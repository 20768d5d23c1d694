/*
 * A port whose stack was surprise-removed on its own and was still open
 * when its board went: the PnP manager sends its removal after the board's
 * (Microsoft's toaster bus deletes such children at their own removal, not
 * with the bus). Its board's extension and library area are gone, so
 * nothing here reaches past the port's own extension.
 */
#include "port_services.h"

namespace {

NTSTATUS Complete(PIRP Irp, NTSTATUS status)
{
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace

NTSTATUS DispatchOrphanPortPnp(PDEVICE_OBJECT Port, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    switch (stack->MinorFunction) {
    case IRP_MN_REMOVE_DEVICE: {
        DeletePortStrings(PortOf(Port));
        NTSTATUS status = Complete(Irp, STATUS_SUCCESS);
        IoDeleteDevice(Port);
        return status;
    }
    case IRP_MN_SURPRISE_REMOVAL:
        return Complete(Irp, STATUS_SUCCESS);
    /* The registers it would start on are no longer its board's. */
    case IRP_MN_START_DEVICE:
        return Complete(Irp, STATUS_NO_SUCH_DEVICE);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation)
            return Complete(Irp, GenericAnswerTargetRelation(Port, Irp));
        break;
    default:
        break;
    }
    /* Not ours to answer: back with the status it came with. */
    return Complete(Irp, Irp->IoStatus.Status);
}

/* Nothing to power: the request succeeds, and the next one may come. */
NTSTATUS DispatchOrphanPortPower(PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status = Irp->IoStatus.Status;
    if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER)
        status = STATUS_SUCCESS;
    PoStartNextPowerIrp(Irp);
    return Complete(Irp, status);
}
