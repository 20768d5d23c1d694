/* The option and mode control registers of the PCMCIA models that have them. */
#pragma once

#include "mpsbus.h"

NTSTATUS ConfigureOptionRegisters(PDEVICE_OBJECT Board);
