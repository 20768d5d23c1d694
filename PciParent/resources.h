/* The board's START resources: copies, ranges, and the checks made on them. */
#pragma once

#include "mpsbus.h"

/* Keeps copies of the START's raw and translated lists and finds (and, in
   memory space, maps) the bridge and UART ranges. Whatever an earlier START
   kept is released first; a failure keeps nothing. */
NTSTATUS CaptureResources(PDEVICE_OBJECT Board, PIO_STACK_LOCATION Stack);

/* STATUS_DEVICE_CONFIGURATION_ERROR when the START brought no range for a
   register step the identified board needs. */
NTSTATUS CheckBoardRanges(PDEVICE_OBJECT Board);

/* Where the START's translated list puts the UART range; FALSE when it has
   none. The caller holds the resource lock. */
BOOLEAN UartRangeStart(const BoardExtension *Board, PHYSICAL_ADDRESS *Start);

VOID InitPciBridge(PDEVICE_OBJECT Board);
NTSTATUS CheckInterruptStatusRegister(PDEVICE_OBJECT Board);
