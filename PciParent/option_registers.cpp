#include "option_registers.h"

/* Not built yet: nothing is probed or stored. The option registers never
   fail a board's start, so the start goes on to its ports. */
NTSTATUS ConfigureOptionRegisters(PDEVICE_OBJECT Board)
{
    UNREFERENCED_PARAMETER(Board);
    return STATUS_SUCCESS;
}
