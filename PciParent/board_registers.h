/*
 * The board's registers, wherever its bus put them. A range that came in
 * I/O space is reached with the HAL's port routines; a range that came in
 * memory space was mapped at START and is reached through the mapping. A
 * non-zero mapped length is what says which.
 */
#pragma once

#include "mpsbus.h"

/* One byte of the UART range (offset from the first port's block). */
UCHAR ReadUartRegister(const BoardExtension *Board, ULONG Offset);
VOID WriteUartRegister(const BoardExtension *Board, ULONG Offset, UCHAR Value);

/* One 32-bit register of the PCI bridge range. */
ULONG ReadBridgeRegister(const BoardExtension *Board, ULONG Offset);
VOID WriteBridgeRegister(const BoardExtension *Board, ULONG Offset, ULONG Value);
