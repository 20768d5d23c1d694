/*
 * The port's resource requirements. A port needs no range of its own (at
 * start it gets its registers out of the board's), so the drivers below see
 * one shared interrupt, the line the serial driver connects, and nothing at
 * all goes back up: the PnP manager assigns the port nothing.
 */
#include "mpsfilt.h"

/* Twice the one-descriptor list; ListSize reports the whole block and the
   second half stays zero. */
#define REQUIREMENTS_LIST_BYTES (2 * sizeof(IO_RESOURCE_REQUIREMENTS_LIST))
#ifndef _WIN64
static_assert(REQUIREMENTS_LIST_BYTES == 144, "the requirements block is 144 bytes on x86");
#endif

NTSTATUS BuildRequirementsList(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PIO_RESOURCE_REQUIREMENTS_LIST list =
        static_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(MP_ExAllocatePool(PagedPool, REQUIREMENTS_LIST_BYTES));
    if (list == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(list, REQUIREMENTS_LIST_BYTES);

    list->ListSize = REQUIREMENTS_LIST_BYTES;
    list->InterfaceType = Internal;
    list->AlternativeLists = 1;
    list->List[0].Version = 1;
    list->List[0].Revision = 1;
    list->List[0].Count = 1;
    PIO_RESOURCE_DESCRIPTOR interrupt = &list->List[0].Descriptors[0];
    interrupt->Option = 0;
    interrupt->Type = CmResourceTypeInterrupt;
    interrupt->ShareDisposition = CmResourceShareShared;
    interrupt->Flags = CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE;
    interrupt->u.Interrupt.MinimumVector = 0;
    interrupt->u.Interrupt.MaximumVector = 0;

    /* The list the request brought stays with the PnP manager, which made it. */
    Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(list);
    IoGetCurrentIrpStackLocation(Irp)->Parameters.FilterResourceRequirements.IoResourceRequirementList = list;
    return STATUS_SUCCESS;
}

NTSTATUS FreeRequirementsList(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    if (Irp->IoStatus.Information != 0) MP_ExFreePool(reinterpret_cast<PVOID>(Irp->IoStatus.Information));
    Irp->IoStatus.Information = 0;
    return STATUS_SUCCESS;
}
