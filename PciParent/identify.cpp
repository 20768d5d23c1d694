#include "identify.h"

/* Not built yet: an unidentified board does not start. */
NTSTATUS IdentifyBoard(PDEVICE_OBJECT Board)
{
    UNREFERENCED_PARAMETER(Board);
    return STATUS_NOT_IMPLEMENTED;
}
