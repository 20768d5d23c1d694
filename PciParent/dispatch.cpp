/*
 * Routing: the first byte of the extension says board or port, and gendev
 * gets the request with the board's area either way. mpsbus itself acts
 * on a board's START, whose resources it keeps before anyone else sees the
 * request, notes what a port's requests change in the port's state, and
 * answers a port that outlived its board without the library.
 */
#include "mpsbus.h"
#include "port_services.h"
#include "resources.h"

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceExtensionHeader *header = HeaderOf(DeviceObject);
    if (!header->IsBoard) {
        if (IsOrphanPort(DeviceObject)) return DispatchOrphanPortPnp(DeviceObject, Irp);
        NotePortRequest(DeviceObject, Irp);
        return GenericDispatchPnpForPDO(header->GenericExtension, DeviceObject, Irp);
    }

    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MinorFunction == IRP_MN_START_DEVICE) {
        NTSTATUS status = CaptureResources(DeviceObject, stack);
        if (!NT_SUCCESS(status)) {
            Irp->IoStatus.Status = status;
            IoCompleteRequest(Irp, IO_NO_INCREMENT);
            return status;
        }
    }
    return GenericDispatchPnp(header->GenericExtension, Irp);
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceExtensionHeader *header = HeaderOf(DeviceObject);
    if (header->IsBoard) return GenericDispatchPower(header->GenericExtension, Irp);
    if (IsOrphanPort(DeviceObject)) return DispatchOrphanPortPower(Irp);
    return GenericDispatchPowerForPDO(header->GenericExtension, Irp);
}

/* WMI belongs to the drivers below a board; a port takes part in none and
   hands the request back as it came. */
NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    if (HeaderOf(DeviceObject)->IsBoard) {
        IoSkipCurrentIrpStackLocation(Irp);
        return IoCallDriver(BoardOf(DeviceObject)->LowerDeviceObject, Irp);
    }
    NTSTATUS status = Irp->IoStatus.Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}
