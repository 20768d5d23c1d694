/*
 * The PortBusInterface at the port devices. A reference holds the board's
 * remove lock, so the board, its extension and its captured lists stay in
 * place for as long as a client may call in; a restart replaces the lists
 * under the board's resource lock, and every call works on copies of its
 * own taken under it.
 */
#include "bus_interface.h"
#include "models.h"
#include "option_registers.h"
#include "port_bus_interface.h"

namespace {

const ULONG BridgeRangeLength = 0x80;
const ULONG StatusRegisterOffset = 7;  /* in the first port's register block */

NTSTATUS TakeInterfaceReference(BoardExtension *board)
{
    NTSTATUS status = GenericAcquireRemoveLock(&board->RemoveLock, NULL);
    if (NT_SUCCESS(status)) InterlockedIncrement(&board->InterfaceRefCount);
    return status;
}

/* Every list holds one full descriptor; the rewrites look at nothing else. */
PCM_PARTIAL_RESOURCE_LIST PartialListOf(PCM_RESOURCE_LIST list) { return &list->List[0].PartialResourceList; }

PCM_PARTIAL_RESOURCE_DESCRIPTOR DescriptorAt(PCM_PARTIAL_RESOURCE_LIST partial, ULONG index)
{
    return partial->PartialDescriptors + index;
}

/* The interrupt status register is register 7 of the first port. */
VOID MakeStatusPort(PCM_PARTIAL_RESOURCE_DESCRIPTOR descriptor, LARGE_INTEGER uartStart)
{
    descriptor->u.Port.Start.QuadPart =
        static_cast<LONGLONG>(static_cast<ULONGLONG>(uartStart.QuadPart) + StatusRegisterOffset);
    descriptor->u.Port.Length = 1;
}

/* A PagedPool copy with Extra bytes behind it, which are zeroed. The board
   keeps only the first full descriptor of its lists, so a copy counts one
   whatever the list it came from counted. */
PCM_RESOURCE_LIST CopyList(PCM_RESOURCE_LIST source, ULONG size, ULONG extra)
{
    if (extra > MAXULONG - size) return NULL;  /* no room to grow: the size would wrap */
    PUCHAR copy = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, size + extra, MPS_POOL_TAG));
    if (copy == NULL) return NULL;
    RtlCopyMemory(copy, source, size);
    RtlZeroMemory(copy + size, extra);
    PCM_RESOURCE_LIST list = reinterpret_cast<PCM_RESOURCE_LIST>(copy);
    list->Count = 1;
    return list;
}

/* PCMCIA lists go out as they came: those cards have no status register
   to describe. */
NTSTATUS RewriteList(ULONG busType, PCM_RESOURCE_LIST list)
{
    switch (busType) {
    case MPS_BUS_PCI:
        return ConvertBridgeDescriptor(list);
    case MPS_BUS_ISA:
        return AppendStatusPortDescriptor(list);
    default:
        return STATUS_SUCCESS;
    }
}

}  // namespace

/* The reference is taken before anything is written: a client that is told
   of success holds the lock, and one that is refused (the board is being
   removed) has nothing to give back. */
NTSTATUS NTAPI QueryPortInterface(PDEVICE_OBJECT Port, PIRP Irp)
{
    BoardExtension *board = BoardOf(PortOf(Port)->ParentBoard);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    /* The pointers come from whoever sent the query: a query without a type
       asks for nothing, and ours needs a record to fill. */
    if (stack->Parameters.QueryInterface.InterfaceType == NULL) return STATUS_INVALID_PARAMETER;
    if (RtlCompareMemory(stack->Parameters.QueryInterface.InterfaceType, &GUID_PORT_BUS_INTERFACE, sizeof(GUID)) !=
        sizeof(GUID))
        return STATUS_NOT_SUPPORTED;
    if (stack->Parameters.QueryInterface.Interface == NULL) return STATUS_INVALID_PARAMETER;
    if (stack->Parameters.QueryInterface.Size != sizeof(PortBusInterface)) return STATUS_INFO_LENGTH_MISMATCH;
    if (stack->Parameters.QueryInterface.Version > PORT_BUS_INTERFACE_VERSION) return STATUS_INVALID_PARAMETER;

    NTSTATUS status = TakeInterfaceReference(board);
    if (!NT_SUCCESS(status)) return status;

    PortBusInterface *record = reinterpret_cast<PortBusInterface *>(stack->Parameters.QueryInterface.Interface);
    record->Size = sizeof(PortBusInterface);
    record->Version = PORT_BUS_INTERFACE_VERSION;
    record->Context = board;
    record->InterfaceReference = ReferencePortInterface;
    record->InterfaceDereference = DereferencePortInterface;
    record->GetResourceLists = GetResourceLists;
    record->SetPortOptions = SetPortOptions;
    return STATUS_SUCCESS;
}

/* A refused lock counts nothing and holds nothing. */
VOID NTAPI ReferencePortInterface(PVOID Context)
{
    (VOID) TakeInterfaceReference(static_cast<BoardExtension *>(Context));
}

/* A count that falls below zero belongs to a reference that was never
   taken: it has no lock to give back. */
VOID NTAPI DereferencePortInterface(PVOID Context)
{
    BoardExtension *board = static_cast<BoardExtension *>(Context);
    if (InterlockedDecrement(&board->InterfaceRefCount) >= 0) GenericReleaseRemoveLock(&board->RemoveLock, NULL);
}

static NTSTATUS CopyRewrittenLists(BoardExtension *board, PCM_RESOURCE_LIST *Raw, PCM_RESOURCE_LIST *Translated)
{

    /* A restart whose capture failed leaves the board without lists. */
    if (board->RawResources == NULL || board->TranslatedResources == NULL) return STATUS_DEVICE_NOT_READY;

    /* An ISA copy has room for the descriptor that its rewrite appends. */
    ULONG extra = board->BusType == MPS_BUS_ISA ? sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR) : 0;
    PCM_RESOURCE_LIST raw = CopyList(board->RawResources, board->RawResourcesSize, extra);
    PCM_RESOURCE_LIST translated = CopyList(board->TranslatedResources, board->TranslatedResourcesSize, extra);

    NTSTATUS status = raw != NULL && translated != NULL ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
    if (NT_SUCCESS(status)) status = RewriteList(board->BusType, raw);
    if (NT_SUCCESS(status)) status = RewriteList(board->BusType, translated);

    if (!NT_SUCCESS(status)) {
        if (raw != NULL) ExFreePool(raw);
        if (translated != NULL) ExFreePool(translated);
        return status;
    }
    *Raw = raw;
    *Translated = translated;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI GetResourceLists(PVOID Context, PCM_RESOURCE_LIST *Raw, PCM_RESOURCE_LIST *Translated)
{
    BoardExtension *board = static_cast<BoardExtension *>(Context);
    *Raw = NULL;
    *Translated = NULL;
    LockResources(board);
    NTSTATUS status = CopyRewrittenLists(board, Raw, Translated);
    UnlockResources(board);
    return status;
}

/* The 128-byte bridge range means nothing to a port; its descriptor becomes
   the one-byte status port in place, keeping its type, share disposition
   and flags. The last bridge and the last UART range win. */
NTSTATUS ConvertBridgeDescriptor(PCM_RESOURCE_LIST List)
{
    PCM_PARTIAL_RESOURCE_LIST partial = PartialListOf(List);
    PCM_PARTIAL_RESOURCE_DESCRIPTOR bridge = NULL;
    /* Which range was seen, not a start value: any start may be a UART's. */
    PCM_PARTIAL_RESOURCE_DESCRIPTOR uart = NULL;
    for (ULONG index = 0; index < partial->Count; ++index) {
        PCM_PARTIAL_RESOURCE_DESCRIPTOR descriptor = DescriptorAt(partial, index);
        if (descriptor->Type != CmResourceTypePort) continue;
        if (descriptor->u.Port.Length == BridgeRangeLength)
            bridge = descriptor;
        else
            uart = descriptor;
    }
    if (bridge == NULL || uart == NULL) return STATUS_UNSUCCESSFUL;

    MakeStatusPort(bridge, uart->u.Port.Start);
    return STATUS_SUCCESS;
}

/* The status port is derived from the last port range and goes into the
   free slot behind the last descriptor. A list without a port range has
   nothing to derive it from, and no slot is counted that was not filled. */
NTSTATUS AppendStatusPortDescriptor(PCM_RESOURCE_LIST List)
{
    PCM_PARTIAL_RESOURCE_LIST partial = PartialListOf(List);
    PCM_PARTIAL_RESOURCE_DESCRIPTOR source = NULL;
    for (ULONG index = 0; index < partial->Count; ++index) {
        PCM_PARTIAL_RESOURCE_DESCRIPTOR descriptor = DescriptorAt(partial, index);
        if (descriptor->Type == CmResourceTypePort) source = descriptor;
    }
    if (source == NULL) return STATUS_UNSUCCESSFUL;

    PCM_PARTIAL_RESOURCE_DESCRIPTOR slot = DescriptorAt(partial, partial->Count);
    RtlCopyMemory(slot, source, sizeof(*slot));
    MakeStatusPort(slot, source->u.Port.Start);
    partial->Count += 1;
    return STATUS_SUCCESS;
}
