/*
 * The port's start resources. The port asks the PnP manager for nothing of
 * its own; at start the filter fetches the whole board's lists from the bus
 * driver through its private interface and cuts the port's eight registers
 * out of the board's UART range. The board's one-byte interrupt status
 * register and its interrupt go down as they are.
 */
#include "mpsfilt.h"

/* Asks the top of the port's stack for the bus interface; the query passes
   this filter on its way down to the port device, which answers it. On
   success Interface is filled and carries one reference. */
static NTSTATUS QueryPortBusInterface(PDEVICE_OBJECT DeviceObject, PortBusInterface *Interface)
{
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(DeviceObject);
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    PIRP query = IoAllocateIrp(top->StackSize, FALSE);
    if (query != NULL) {
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        /* What a PnP request carries until some driver answers it. */
        query->IoStatus.Status = STATUS_NOT_SUPPORTED;
        query->IoStatus.Information = 0;

        PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(query);
        stack->MajorFunction = IRP_MJ_PNP;
        stack->MinorFunction = IRP_MN_QUERY_INTERFACE;
        stack->Parameters.QueryInterface.InterfaceType = &GUID_PORT_BUS_INTERFACE;
        stack->Parameters.QueryInterface.Size = sizeof(PortBusInterface);
        stack->Parameters.QueryInterface.Version = PORT_BUS_INTERFACE_VERSION;
        stack->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(Interface);
        stack->Parameters.QueryInterface.InterfaceSpecificData = NULL;
        IoSetCompletionRoutine(query, OnRequestComplete, &done, TRUE, TRUE, TRUE);

        IoCallDriver(top, query);
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        status = query->IoStatus.Status;
        IoFreeIrp(query);
    }
    ObDereferenceObject(top);
    /* Nobody answered: the port is not on a board this filter serves. The
       start fails with a status of its own, not with STATUS_NOT_SUPPORTED,
       which only the system may put on a PnP request. */
    return status == STATUS_NOT_SUPPORTED ? STATUS_DEVICE_CONFIGURATION_ERROR : status;
}

/* Every multi-byte I/O range becomes the port's 8-byte block in it. A block
   that would not lie inside the range is a board the driver cannot serve:
   the port must not be handed registers that are not its board's. */
static NTSTATUS NarrowToPort(PCM_RESOURCE_LIST List, ULONG PortOffset)
{
    if (List == NULL) return STATUS_SUCCESS;
    const ULONGLONG offset = (ULONGLONG)PortOffset * UART_BLOCK_LENGTH;
    PCM_PARTIAL_RESOURCE_LIST partials = &List->List[0].PartialResourceList;
    for (ULONG i = 0; i < partials->Count; ++i) {
        PCM_PARTIAL_RESOURCE_DESCRIPTOR d = &partials->PartialDescriptors[i];
        /* Length 1 is the board's interrupt status register. */
        if (d->Type != CmResourceTypePort || d->u.Port.Length == 1) continue;
        if (offset + UART_BLOCK_LENGTH > d->u.Port.Length) return STATUS_DEVICE_CONFIGURATION_ERROR;
        d->u.Port.Start.QuadPart += offset;
        d->u.Port.Length = UART_BLOCK_LENGTH;
    }
    return STATUS_SUCCESS;
}

/* On success IrpStack carries the narrowed lists, which FreeStartResources
   gives back; on failure the start's own lists are left in place. */
NTSTATUS RewriteStartResources(PDEVICE_OBJECT DeviceObject, PIO_STACK_LOCATION IrpStack)
{
    FilterExtension *filter = FilterOf(DeviceObject);
    PortBusInterface *bus = static_cast<PortBusInterface *>(MP_ExAllocatePool(PagedPool, sizeof(PortBusInterface)));
    if (bus == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(bus, sizeof(PortBusInterface));

    PCM_RESOURCE_LIST raw = NULL, translated = NULL;
    NTSTATUS status = QueryPortBusInterface(DeviceObject, bus);
    if (NT_SUCCESS(status)) {
        /* Whoever answered may have left the record as it was: a routine
           it did not fill is a bus this filter cannot use. */
        if (bus->GetResourceLists == NULL || bus->InterfaceDereference == NULL)
            status = STATUS_DEVICE_CONFIGURATION_ERROR;
        else
            status = bus->GetResourceLists(bus->Context, &raw, &translated);
        /* The query's reference is given back whatever the lists came to. */
        if (bus->InterfaceDereference != NULL) bus->InterfaceDereference(bus->Context);
    }
    if (NT_SUCCESS(status)) status = NarrowToPort(raw, filter->PortOffset);
    if (NT_SUCCESS(status)) status = NarrowToPort(translated, filter->PortOffset);

    if (NT_SUCCESS(status)) {
        /* The PnP manager's lists stay the PnP manager's. */
        IrpStack->Parameters.StartDevice.AllocatedResources = raw;
        IrpStack->Parameters.StartDevice.AllocatedResourcesTranslated = translated;
    } else {
        if (raw != NULL) ExFreePool(raw);
        if (translated != NULL) ExFreePool(translated);
    }
    MP_ExFreePool(bus);
    return status;
}

/* Runs once the lower drivers have finished the start: they do not keep the
   lists beyond it. The blocks are the bus driver's, so not counted here. */
NTSTATUS FreeStartResources(PDEVICE_OBJECT DeviceObject, PIO_STACK_LOCATION IrpStack)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    if (IrpStack->Parameters.StartDevice.AllocatedResources != NULL) {
        ExFreePool(IrpStack->Parameters.StartDevice.AllocatedResources);
        IrpStack->Parameters.StartDevice.AllocatedResources = NULL;
    }
    if (IrpStack->Parameters.StartDevice.AllocatedResourcesTranslated != NULL) {
        ExFreePool(IrpStack->Parameters.StartDevice.AllocatedResourcesTranslated);
        IrpStack->Parameters.StartDevice.AllocatedResourcesTranslated = NULL;
    }
    return STATUS_SUCCESS;
}
