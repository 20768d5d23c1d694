#include "port_devices.h"

/* Not built yet: a board without port devices does not start. */
NTSTATUS CreatePortDevices(PDEVICE_OBJECT Board)
{
    UNREFERENCED_PARAMETER(Board);
    return STATUS_NOT_IMPLEMENTED;
}

/* Not built yet. */
NTSTATUS NTAPI QueryPortId(PDEVICE_OBJECT Port, BUS_QUERY_ID_TYPE Type, PWSTR *Id)
{
    UNREFERENCED_PARAMETER(Port);
    UNREFERENCED_PARAMETER(Type);
    *Id = NULL;
    return STATUS_NOT_IMPLEMENTED;
}

/* Not built yet. */
NTSTATUS NTAPI QueryPortText(PDEVICE_OBJECT Port, DEVICE_TEXT_TYPE Type, PWSTR *Text)
{
    UNREFERENCED_PARAMETER(Port);
    UNREFERENCED_PARAMETER(Type);
    *Text = NULL;
    return STATUS_NOT_IMPLEMENTED;
}
