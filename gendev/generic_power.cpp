/*
 * Power requests. The board's function driver is the board's power policy
 * owner, and the ports' too: their function driver, the serial port driver,
 * is told to relinquish it ("SerialRelinquishPowerPolicy"). So a system
 * set-power request becomes a device request, asked for with
 * PoRequestPowerIrp once the system request is on its way back (the board)
 * or has reached the port device (a port); the system request completes
 * when the device request has. Device requests go down the board's stack and
 * end at a port device, which has no hardware state of its own to change.
 * Before Windows Vista each request is let go with PoStartNextPowerIrp and
 * passed with PoCallDriver.
 */
#include "generic_internal.h"

namespace {

/* Any sleeping state takes the device to D3: nothing on the board wakes
   the system. */
DEVICE_POWER_STATE DeviceStateFor(PIRP SystemIrp)
{
    return IoGetCurrentIrpStackLocation(SystemIrp)->Parameters.Power.State.SystemState == PowerSystemWorking
               ? PowerDeviceD0
               : PowerDeviceD3;
}

BOOLEAN IsSetPower(PIO_STACK_LOCATION stack, POWER_STATE_TYPE type)
{
    return stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == type;
}

/* ------------------------------------------------------------------ board */
VOID NTAPI OnBoardDevicePowerDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                  PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    UNREFERENCED_PARAMETER(IoStatus);
    GenericArea *area = AreaOf(Context);
    PIRP systemIrp = area->PendingSystemIrp;
    area->PendingSystemIrp = NULL;
    /* A system request is not failed for its device request. */
    PoStartNextPowerIrp(systemIrp);
    IoCompleteRequest(systemIrp, IO_NO_INCREMENT);
    IoReleaseRemoveLock(area->RemoveLock, systemIrp);
}

NTSTATUS NTAPI OnBoardSystemPowerDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    GenericArea *area = AreaOf(Context);
    if (NT_SUCCESS(Irp->IoStatus.Status)) {
        POWER_STATE state;
        state.DeviceState = DeviceStateFor(Irp);
        /* One system request at a time per device: the power manager
           serialises them. */
        area->PendingSystemIrp = Irp;
        PDEVICE_OBJECT target = area->Record.Pdo != NULL ? area->Record.Pdo : area->Record.DeviceObject;
        if (NT_SUCCESS(PoRequestPowerIrp(target, IRP_MN_SET_POWER, state, OnBoardDevicePowerDone, area, NULL)))
            return STATUS_MORE_PROCESSING_REQUIRED;
        area->PendingSystemIrp = NULL;
    }
    PoStartNextPowerIrp(Irp);
    IoReleaseRemoveLock(area->RemoveLock, Irp);
    return STATUS_CONTINUE_COMPLETION;
}

/* Powered up by the drivers below: only then is the board in D0. */
NTSTATUS NTAPI OnBoardPoweredUp(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    GenericArea *area = AreaOf(Context);
    if (Irp->PendingReturned) IoMarkIrpPending(Irp);
    if (NT_SUCCESS(Irp->IoStatus.Status))
        PoSetPowerState(area->Record.DeviceObject, DevicePowerState,
                        IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State);
    PoStartNextPowerIrp(Irp);
    IoReleaseRemoveLock(area->RemoveLock, Irp);
    return STATUS_CONTINUE_COMPLETION;
}

/* ------------------------------------------------------------------- port */
VOID NTAPI OnPortDevicePowerDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                 PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    UNREFERENCED_PARAMETER(IoStatus);
    PIRP systemIrp = static_cast<PIRP>(Context);
    systemIrp->IoStatus.Status = STATUS_SUCCESS;
    PoStartNextPowerIrp(systemIrp);
    IoCompleteRequest(systemIrp, IO_NO_INCREMENT);
}

}  // namespace

extern "C" NTSTATUS NTAPI GenericDispatchPower(PVOID Area, PIRP Irp)
{
    GenericArea *area = AreaOf(Area);
    PDEVICE_OBJECT lower = area->Record.LowerDeviceObject;
    NTSTATUS status = IoAcquireRemoveLock(area->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        PoStartNextPowerIrp(Irp);
        return GenericCompleteRequest(Irp, status);
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    if (IsSetPower(stack, SystemPowerState)) {
        /* The lock stays held until the device request is done. */
        IoMarkIrpPending(Irp);
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, OnBoardSystemPowerDone, area, TRUE, TRUE, TRUE);
        PoCallDriver(lower, Irp);
        return STATUS_PENDING;
    }
    if (IsSetPower(stack, DevicePowerState) && stack->Parameters.Power.State.DeviceState == PowerDeviceD0) {
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, OnBoardPoweredUp, area, TRUE, TRUE, TRUE);
        return PoCallDriver(lower, Irp);
    }
    /* Powering down is recorded before the drivers below act on it. */
    if (IsSetPower(stack, DevicePowerState))
        PoSetPowerState(area->Record.DeviceObject, DevicePowerState, stack->Parameters.Power.State);
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    status = PoCallDriver(lower, Irp);
    IoReleaseRemoveLock(area->RemoveLock, Irp);
    return status;
}

extern "C" NTSTATUS NTAPI GenericDispatchPowerForPDO(PVOID Area, PIRP Irp)
{
    UNREFERENCED_PARAMETER(Area);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PDEVICE_OBJECT port = stack->DeviceObject;
    NTSTATUS status = Irp->IoStatus.Status;

    if (IsSetPower(stack, SystemPowerState)) {
        POWER_STATE state;
        state.DeviceState = DeviceStateFor(Irp);
        IoMarkIrpPending(Irp);
        if (NT_SUCCESS(PoRequestPowerIrp(port, IRP_MN_SET_POWER, state, OnPortDevicePowerDone, Irp, NULL)))
            return STATUS_PENDING;
        /* No device request: the system request still succeeds. */
        PoStartNextPowerIrp(Irp);
        GenericCompleteRequest(Irp, STATUS_SUCCESS);
        return STATUS_PENDING;
    }
    switch (stack->MinorFunction) {
    case IRP_MN_SET_POWER:
        PoSetPowerState(port, DevicePowerState, stack->Parameters.Power.State);
        status = STATUS_SUCCESS;
        break;
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
