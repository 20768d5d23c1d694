#include "port_services.h"

/* Not built yet. */
NTSTATUS NTAPI QueryBusRelations(PDEVICE_OBJECT Board, PDEVICE_RELATIONS *Relations)
{
    UNREFERENCED_PARAMETER(Board);
    *Relations = NULL;
    return STATUS_NOT_IMPLEMENTED;
}

/* Not built yet. */
NTSTATUS NTAPI QueryPortCapabilities(PDEVICE_OBJECT Port, PDEVICE_CAPABILITIES *Capabilities)
{
    UNREFERENCED_PARAMETER(Port);
    UNREFERENCED_PARAMETER(Capabilities);
    return STATUS_NOT_IMPLEMENTED;
}

/* Not built yet. */
NTSTATUS NTAPI StartPort(PDEVICE_OBJECT Port, PCM_RESOURCE_LIST Unused1, PCM_RESOURCE_LIST Unused2)
{
    UNREFERENCED_PARAMETER(Port);
    UNREFERENCED_PARAMETER(Unused1);
    UNREFERENCED_PARAMETER(Unused2);
    return STATUS_NOT_IMPLEMENTED;
}

/* Not built yet; until ports are created there is nothing to delete. */
NTSTATUS DeletePortDevices(PDEVICE_OBJECT Board)
{
    UNREFERENCED_PARAMETER(Board);
    return STATUS_NOT_IMPLEMENTED;
}
