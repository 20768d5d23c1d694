#include "resources.h"

/* Not built yet: without copies of its resources a board cannot start. */
NTSTATUS CaptureResources(PDEVICE_OBJECT Board, PIO_STACK_LOCATION Stack)
{
    UNREFERENCED_PARAMETER(Board);
    UNREFERENCED_PARAMETER(Stack);
    return STATUS_NOT_IMPLEMENTED;
}

/* Not built yet: the bridge registers are left as the board powered up. */
VOID InitPciBridge(PDEVICE_OBJECT Board)
{
    UNREFERENCED_PARAMETER(Board);
}

/* Not built yet. */
NTSTATUS CheckInterruptStatusRegister(PDEVICE_OBJECT Board)
{
    UNREFERENCED_PARAMETER(Board);
    return STATUS_NOT_IMPLEMENTED;
}
