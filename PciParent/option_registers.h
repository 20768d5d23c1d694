/*
 * The option and mode control registers of the PCMCIA models that have them
 * (device codes 75 to 78), overlaid on the first port's register block, and
 * the three words kept for them under the board's device key:
 *   "HWOR" what the hardware can do (option field in bits 0-7, mode control
 *          bits 0-1 in bits 8-15, mode control bits 2-4 in bits 16-19),
 *   "VOPR" the option setting (bits 0-1; bit 8 asks for the default, 3),
 *   "VMCR" the mode setting (mode control bits 0-4 in place).
 */
#pragma once

#include "mpsbus.h"

/* One step of the board's start: probes the registers and stores the three
   words. Never fails the start. */
NTSTATUS ConfigureOptionRegisters(PDEVICE_OBJECT Board);

/* Interface member: Words[0] receives "VOPR", Words[1] "VMCR", and the
   stored option setting is programmed into the board. */
NTSTATUS NTAPI SetPortOptions(PVOID Context, PULONG Words);

/* TRUE when the option register does not answer its presence signature. */
BOOLEAN OptionRegisterAbsent(BoardExtension *Board);

/* Field probes: TRUE when the register is absent or the field is fixed in
   hardware (the words are adjusted to say which), FALSE when it is settable
   (the words are left alone). */
BOOLEAN ProbeModeBitsLow(BoardExtension *Board, PULONG Vmcr, PULONG Hwor);
BOOLEAN ProbeModeBitsHigh(BoardExtension *Board, PULONG Vmcr, PULONG Hwor);
BOOLEAN ProbeOptionBits(BoardExtension *Board, PULONG Vopr, PULONG Hwor);

/* The access sequences. Each saves the line control register first and puts
   it back last; the port I/O they use cannot fail. */
NTSTATUS ReadOptionRegister(BoardExtension *Board, PUCHAR Value);
NTSTATUS WriteOptionRegister(BoardExtension *Board, UCHAR Value);
NTSTATUS ReadModeControlRegister(BoardExtension *Board, PUCHAR Value);
NTSTATUS WriteModeControlRegister(BoardExtension *Board, UCHAR Value);

/* Writes Setting (0 to 3) into the option field while the port may be in
   use, leaving the rest of the register and the LCR as they were. */
VOID ProgramOptionSetting(BoardExtension *Board, UCHAR Setting);
