/* Which board this is: bus, model, port count, brand and board number. */
#pragma once

#include "mpsbus.h"

NTSTATUS IdentifyBoard(PDEVICE_OBJECT Board);
