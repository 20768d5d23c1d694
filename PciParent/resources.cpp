/*
 * The board's START resources and the two register steps made on them. The
 * START lists are copied for the ports' stacks; the bridge range is the one
 * port range of exactly 128 bytes, any other port range holds the UARTs. A
 * range in memory space is mapped here and released at stop; the register
 * steps reach either kind through the board's register accessor.
 */
#include "resources.h"

#include "board_registers.h"
#include "models.h"

namespace {

const ULONG BridgeRangeLength = 0x80;
/* Each UART's registers; the ports' blocks follow each other in the range. */
const ULONG UartBlockLength = 8;

/* Bridge register 0x38 gets bit 13 set; bit 24 of 0x3C is pulsed. */
const ULONG BridgeSetRegister = 0x38;
const ULONG BridgeSetBit = 0x00002000;
const ULONG BridgePulseRegister = 0x3C;
const ULONG BridgePulseBit = 0x01000000;

const ULONG LineControlRegister = 3;
const UCHAR DivisorLatchAccess = 0x80;
/* With the divisor latch closed, offset 7 of the first UART is the board's
   read-only interrupt status register. */
const ULONG InterruptStatusRegister = 7;
/* Distinct, so at most one can equal what the register holds. */
const UCHAR StatusRegisterPatterns[] = {0xFF, 0xAA, 0x55, 0x00};

/* One of the board's two ranges: its base and how much of it is mapped. */
struct BoardRange {
    ULONG_PTR *Base;
    ULONG *MappedLength;
};

BoardRange BridgeRange(BoardExtension *Board) { return BoardRange{&Board->BridgeBase, &Board->BridgeMappedLength}; }
BoardRange UartRange(BoardExtension *Board) { return BoardRange{&Board->UartBase, &Board->UartMappedLength}; }

/* Unmaps the range if it is a mapping, and forgets it. */
VOID ReleaseRange(BoardRange Range)
{
    if (*Range.MappedLength != 0 && *Range.Base != 0)
        MmUnmapIoSpace(reinterpret_cast<PVOID>(*Range.Base), *Range.MappedLength);
    *Range.MappedLength = 0;
    *Range.Base = 0;
}

VOID FreeCopy(PCM_RESOURCE_LIST *Copy, ULONG *Size)
{
    if (*Copy != NULL) ExFreePool(*Copy);
    *Copy = NULL;
    *Size = 0;
}

VOID ReleaseCapture(BoardExtension *Board)
{
    FreeCopy(&Board->RawResources, &Board->RawResourcesSize);
    FreeCopy(&Board->TranslatedResources, &Board->TranslatedResourcesSize);
    ReleaseRange(BridgeRange(Board));
    ReleaseRange(UartRange(Board));
}

/* Only the first full descriptor counts: the copy is its header and its
   partial descriptors, 20 + 16 bytes each on x86 (a descriptor is 20 bytes
   on x64). */
#ifndef _WIN64
static_assert(FIELD_OFFSET(CM_RESOURCE_LIST, List[0].PartialResourceList.PartialDescriptors) == 20 &&
                  sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR) == 16,
              "a list copy is 20 + 16 bytes per descriptor on x86");
#endif
NTSTATUS CopyList(const CM_RESOURCE_LIST *Source, PCM_RESOURCE_LIST *Copy, ULONG *Size)
{
    if (Source == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    const ULONG header = FIELD_OFFSET(CM_RESOURCE_LIST, List[0].PartialResourceList.PartialDescriptors);
    const ULONG count = Source->List[0].PartialResourceList.Count;
    /* A count whose list does not fit in a ULONG is no list we can hold: a
       wrapped (or, on x64, truncated) size would copy a few bytes and leave
       the walk below to read far past them. */
    if (count > (MAXULONG - header) / sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR)) return STATUS_INSUFFICIENT_RESOURCES;
    const ULONG size = header + count * static_cast<ULONG>(sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR));
    *Copy = static_cast<PCM_RESOURCE_LIST>(ExAllocatePoolWithTag(gNonPagedPoolType, size, MPS_POOL_TAG));
    if (*Copy == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    RtlCopyMemory(*Copy, Source, size);
    *Size = size;
    return STATUS_SUCCESS;
}

/* Walks the translated ports: a base in I/O space is the port address; a
   range in memory space is mapped non-cached. */
NTSTATUS FindRanges(BoardExtension *Board)
{
    const CM_PARTIAL_RESOURCE_LIST *partials = &Board->TranslatedResources->List[0].PartialResourceList;
    for (ULONG i = 0; i < partials->Count; ++i) {
        const CM_PARTIAL_RESOURCE_DESCRIPTOR *port = &partials->PartialDescriptors[i];
        if (port->Type != CmResourceTypePort) continue;
        BoardRange range = port->u.Port.Length == BridgeRangeLength ? BridgeRange(Board) : UartRange(Board);
        /* A later range of a kind replaces the earlier one, whose mapping
           would otherwise be lost. */
        ReleaseRange(range);
        if (port->Flags & CM_RESOURCE_PORT_IO) {
            *range.Base = port->u.Port.Start.LowPart;
            continue;
        }
        PVOID mapped = MmMapIoSpace(port->u.Port.Start, port->u.Port.Length, MmNonCached);
        if (mapped == NULL) return STATUS_NO_MEMORY;
        *range.Base = reinterpret_cast<ULONG_PTR>(mapped);
        *range.MappedLength = port->u.Port.Length;
    }
    return STATUS_SUCCESS;
}

NTSTATUS KeepResources(BoardExtension *Board, PIO_STACK_LOCATION Stack)
{
    NTSTATUS status =
        CopyList(Stack->Parameters.StartDevice.AllocatedResources, &Board->RawResources, &Board->RawResourcesSize);
    if (!NT_SUCCESS(status)) return status;
    status = CopyList(Stack->Parameters.StartDevice.AllocatedResourcesTranslated, &Board->TranslatedResources,
                      &Board->TranslatedResourcesSize);
    if (!NT_SUCCESS(status)) return status;
    return FindRanges(Board);
}

/* The descriptor FindRanges took for the UARTs: the last port range that
   is not the bridge; NULL when the list has none. */
const CM_PARTIAL_RESOURCE_DESCRIPTOR *UartDescriptor(const BoardExtension *Board)
{
    if (Board->TranslatedResources == NULL) return NULL;
    const CM_PARTIAL_RESOURCE_DESCRIPTOR *uart = NULL;
    const CM_PARTIAL_RESOURCE_LIST *partials = &Board->TranslatedResources->List[0].PartialResourceList;
    for (ULONG i = 0; i < partials->Count; ++i) {
        const CM_PARTIAL_RESOURCE_DESCRIPTOR *port = &partials->PartialDescriptors[i];
        if (port->Type == CmResourceTypePort && port->u.Port.Length != BridgeRangeLength) uart = port;
    }
    return uart;
}

}  // namespace

NTSTATUS CaptureResources(PDEVICE_OBJECT Board, PIO_STACK_LOCATION Stack)
{
    BoardExtension *board = BoardOf(Board);
    /* A START after a stop replaces what the START before it kept; no
       interface call sees the lists half replaced. */
    LockResources(board);
    ReleaseCapture(board);
    NTSTATUS status = KeepResources(board, Stack);
    if (!NT_SUCCESS(status)) ReleaseCapture(board);
    UnlockResources(board);
    return status;
}

NTSTATUS CheckBoardRanges(PDEVICE_OBJECT Board)
{
    const BoardExtension *board = BoardOf(Board);
    /* No register is ever touched at a base of 0. */
    if (board->UartBase == 0) return STATUS_DEVICE_CONFIGURATION_ERROR;
    /* Nor outside what the board was assigned: the range must hold every
       port's registers, the first block's offset 7 (the status and option
       registers) among them, or ports would be made without registers. */
    const CM_PARTIAL_RESOURCE_DESCRIPTOR *uart = UartDescriptor(board);
    if (uart == NULL || uart->u.Port.Length < board->PortCount * UartBlockLength)
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    if (board->BusType == MPS_BUS_PCI && !board->SkipBridgeInit && board->BridgeBase == 0)
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    return STATUS_SUCCESS;
}

BOOLEAN UartRangeStart(const BoardExtension *Board, PHYSICAL_ADDRESS *Start)
{
    const CM_PARTIAL_RESOURCE_DESCRIPTOR *uart = UartDescriptor(Board);
    if (uart == NULL) return FALSE;
    /* Member by member: on x64 the descriptor is packed to 4, and its start
       may lie off the 8-byte boundary a whole PHYSICAL_ADDRESS claims. */
    Start->QuadPart = uart->u.Port.Start.QuadPart;
    return TRUE;
}

VOID InitPciBridge(PDEVICE_OBJECT Board)
{
    const BoardExtension *board = BoardOf(Board);
    if (board->SkipBridgeInit) return;
    const ULONG set = ReadBridgeRegister(board, BridgeSetRegister);
    WriteBridgeRegister(board, BridgeSetRegister, set | BridgeSetBit);
    /* Both writes keep every other bit as read, with no delay between. */
    const ULONG pulsed = ReadBridgeRegister(board, BridgePulseRegister);
    WriteBridgeRegister(board, BridgePulseRegister, pulsed | BridgePulseBit);
    WriteBridgeRegister(board, BridgePulseRegister, pulsed & ~BridgePulseBit);
}

/* A read-only register ignores every pattern; a scratch register keeps
   one, so the board is not one of ours, or not working. */
NTSTATUS CheckInterruptStatusRegister(PDEVICE_OBJECT Board)
{
    const BoardExtension *board = BoardOf(Board);
    const UCHAR lineControl = ReadUartRegister(board, LineControlRegister);
    WriteUartRegister(board, LineControlRegister, (UCHAR)(lineControl & ~DivisorLatchAccess));
    const UCHAR reference = ReadUartRegister(board, InterruptStatusRegister);
    NTSTATUS status = STATUS_SUCCESS;
    for (UCHAR pattern : StatusRegisterPatterns) {
        WriteUartRegister(board, InterruptStatusRegister, pattern);
        if (ReadUartRegister(board, InterruptStatusRegister) != reference) {
            status = STATUS_DEVICE_NOT_READY;
            break;
        }
    }
    /* The line control register goes back as it was on every path; the
       status register keeps the last pattern written. */
    WriteUartRegister(board, LineControlRegister, lineControl);
    return status;
}
