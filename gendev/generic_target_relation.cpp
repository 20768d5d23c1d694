/*
 * A PDO's answer to TargetDeviceRelation, for the library's ports and for
 * any PDO of the client's that answers on its own.
 */
#include "generic_internal.h"

#include "kernel_compat.h"

/* The PnP manager dereferences the device it gets back, so it gets one
   reference of its own. */
extern "C" NTSTATUS NTAPI GenericAnswerTargetRelation(PDEVICE_OBJECT Pdo, PIRP Irp)
{
    PDEVICE_RELATIONS relations =
        static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), MPS_POOL_TAG));
    if (relations == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    ObReferenceObject(Pdo);
    relations->Count = 1;
    relations->Objects[0] = Pdo;
    Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
    return STATUS_SUCCESS;
}
