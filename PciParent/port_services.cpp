/*
 * What a board's ports need besides their identity: being reported to the
 * PnP manager, unique IDs, the serial port driver's settings at each start,
 * and deletion with the board.
 */
#include "port_services.h"

#include "models.h"
#include "resources.h"

namespace {

/* A REG_DWORD the serial port driver reads when it starts on the port. */
struct PortSetting {
    PCWSTR Name;
    ULONG Value;
    BOOLEAN MultiportOnly;   /* only for a PCI or ISA board of two or more ports */
};

NTSTATUS WriteDword(HANDLE key, const PortSetting &setting)
{
    ULONG value = setting.Value;
    return RtlWriteRegistryValue(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(key), setting.Name, REG_DWORD, &value,
                                 sizeof(value));
}

VOID FreeString(PWSTR *string)
{
    if (*string != NULL) ExFreePool(*string);
    *string = NULL;
}

}  // namespace

/*
 * The ports in list order, port 1 first. The list changes only during the
 * board's start and removal, and the PnP manager asks for relations at
 * neither, so the walk takes no lock. It stops at the list's head whatever
 * PortCount says: only ports that exist are reported.
 */
NTSTATUS NTAPI QueryBusRelations(PDEVICE_OBJECT Board, PDEVICE_RELATIONS *Relations)
{
    BoardExtension *board = BoardOf(Board);
    *Relations = NULL;

    ULONG count = 0;
    for (PLIST_ENTRY link = board->ChildList.Flink; link != &board->ChildList && count < board->PortCount;
         link = link->Flink)
        ++count;
    if (count == 0) return STATUS_SUCCESS;

    const ULONG bytes = FIELD_OFFSET(DEVICE_RELATIONS, Objects) + count * sizeof(PDEVICE_OBJECT);
    PDEVICE_RELATIONS relations =
        static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, bytes, MPS_POOL_TAG));
    if (relations == NULL) return STATUS_INSUFFICIENT_RESOURCES;

    /* No references here: gendev takes one per listed device. */
    relations->Count = count;
    PLIST_ENTRY link = board->ChildList.Flink;
    for (ULONG i = 0; i < count; ++i, link = link->Flink)
        relations->Objects[i] = CONTAINING_RECORD(link, PortExtension, ChildLink)->DeviceObject;
    *Relations = relations;
    return STATUS_SUCCESS;
}

/* Each port's device ID and instance ID name it alone, so its device node
   does not depend on where the board sits. */
NTSTATUS NTAPI QueryPortCapabilities(PDEVICE_OBJECT Port, PDEVICE_CAPABILITIES *Capabilities)
{
    UNREFERENCED_PARAMETER(Port);
    (*Capabilities)->UniqueID = TRUE;
    return STATUS_SUCCESS;
}

/*
 * The serial port driver's settings, written before the START completes up
 * to it. Ports of a PCMCIA card and single-port boards are set up as plain
 * ports; the others learn their index on a board whose interrupt they
 * share. The first write that fails ends the sequence.
 */
NTSTATUS NTAPI StartPort(PDEVICE_OBJECT Port, PCM_RESOURCE_LIST Unused1, PCM_RESOURCE_LIST Unused2)
{
    UNREFERENCED_PARAMETER(Unused1);
    UNREFERENCED_PARAMETER(Unused2);
    PortExtension *port = PortOf(Port);
    BoardExtension *board = BoardOf(port->ParentBoard);
    const BOOLEAN multiport = board->BusType != MPS_BUS_PCMCIA && board->PortCount > 1;
    const PortSetting settings[] = {
        {L"PortIndex", port->PortNumber, TRUE},
        {L"MultiportDevice", 1, TRUE},
        {L"SerialRelinquishPowerPolicy", 1, FALSE},
        {L"Share System Interrupt", 1, FALSE},
    };

    HANDLE key = NULL;
    NTSTATUS status = IoOpenDeviceRegistryKey(Port, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key);
    if (!NT_SUCCESS(status)) return status;

    for (ULONG i = 0; i < sizeof(settings) / sizeof(settings[0]) && NT_SUCCESS(status); ++i) {
        if (settings[i].MultiportOnly && !multiport) continue;
        status = WriteDword(key, settings[i]);
    }
    ZwClose(key);
    if (!NT_SUCCESS(status)) return status;

    /* The stack above fetched the board's lists for this START: the port
       now works where the board's UART range is. */
    LockResources(board);
    port->Started = UartRangeStart(board, &port->StartedUart);
    UnlockResources(board);
    port->UartMoved = FALSE;
    return STATUS_SUCCESS;
}

/*
 * A port consumes no resources of its own, so a rebalance that moves its
 * board only cancels the port's stop, and its stack would go on with
 * registers the board no longer decodes. A moved port answers the state
 * query as failed with changed requirements, for which the PnP manager
 * stops the port and starts it again; the stack then fetches the board's
 * lists again. The flags are added to what the drivers above answered.
 */
VOID NotePortRequest(PDEVICE_OBJECT Port, PIRP Irp)
{
    PortExtension *port = PortOf(Port);
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_QUERY_PNP_DEVICE_STATE:
        if (!port->UartMoved) return;
        Irp->IoStatus.Information |= PNP_DEVICE_FAILED | PNP_DEVICE_RESOURCE_REQUIREMENTS_CHANGED;
        Irp->IoStatus.Status = STATUS_SUCCESS;
        return;
    case IRP_MN_SURPRISE_REMOVAL:
        port->SurpriseRemoved = TRUE;
        port->Started = FALSE;
        return;
    case IRP_MN_REMOVE_DEVICE:
        port->SurpriseRemoved = FALSE;
        port->Started = FALSE;
        return;
    case IRP_MN_STOP_DEVICE:
        port->Started = FALSE;
        return;
    default:
        return;
    }
}

/* The PnP manager asks for the state later, from its own thread. The list
   changes only during the board's start and removal, and this is its start. */
VOID ReportMovedPorts(PDEVICE_OBJECT Board)
{
    BoardExtension *board = BoardOf(Board);
    PHYSICAL_ADDRESS uart;
    LockResources(board);
    const BOOLEAN found = UartRangeStart(board, &uart);
    UnlockResources(board);
    if (!found) return;

    for (PLIST_ENTRY link = board->ChildList.Flink; link != &board->ChildList; link = link->Flink) {
        PortExtension *port = CONTAINING_RECORD(link, PortExtension, ChildLink);
        if (!port->Started || port->StartedUart.QuadPart == uart.QuadPart) continue;
        port->UartMoved = TRUE;
        IoInvalidateDeviceState(port->DeviceObject);
    }
}

VOID DeletePortStrings(PortExtension *port)
{
    FreeString(&port->HardwareIds);
    FreeString(&port->InstanceId);
    FreeString(&port->DeviceId);
}

/*
 * Every port of the board, whether it is complete or its creation failed
 * half way: its strings that exist, then the device. A port that was
 * surprise-removed on its own and is still open gets its removal after the
 * board's: it is only unlinked here and keeps its strings until then, and
 * it is no longer reported, since the list no longer holds it.
 */
NTSTATUS DeletePortDevices(PDEVICE_OBJECT Board)
{
    BoardExtension *board = BoardOf(Board);
    PLIST_ENTRY link;
    /* An empty list gives NULL; Wine's kernel hands back the head itself
       instead, which is no port either. */
    while ((link = ExInterlockedRemoveHeadList(&board->ChildList, &board->ChildListLock)) != NULL &&
           link != &board->ChildList) {
        PortExtension *port = CONTAINING_RECORD(link, PortExtension, ChildLink);
        if (port->SurpriseRemoved) {
            InitializeListHead(&port->ChildLink);
            port->ParentBoard = NULL;
            port->GenericExtension = NULL;
            continue;
        }
        DeletePortStrings(port);
        IoDeleteDevice(port->DeviceObject);
    }
    return STATUS_SUCCESS;
}
