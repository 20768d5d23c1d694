/* The board's START resources: copies, ranges, and the checks made on them. */
#pragma once

#include "mpsbus.h"

NTSTATUS CaptureResources(PDEVICE_OBJECT Board, PIO_STACK_LOCATION Stack);
VOID InitPciBridge(PDEVICE_OBJECT Board);
NTSTATUS CheckInterruptStatusRegister(PDEVICE_OBJECT Board);
