#include "bus_interface.h"

/* Not built yet. */
NTSTATUS NTAPI QueryPortInterface(PDEVICE_OBJECT Port, PIRP Irp)
{
    UNREFERENCED_PARAMETER(Port);
    UNREFERENCED_PARAMETER(Irp);
    return STATUS_NOT_IMPLEMENTED;
}
