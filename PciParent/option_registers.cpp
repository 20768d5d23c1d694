#include "option_registers.h"

/* Not built yet. */
NTSTATUS ConfigureOptionRegisters(PDEVICE_OBJECT Board)
{
    UNREFERENCED_PARAMETER(Board);
    return STATUS_NOT_IMPLEMENTED;
}
