/*
 * mpsbus: the bus driver of one multiport serial board. Its device objects
 * are board devices (over the board's PDO) and port devices (one child per
 * serial port); both extensions start with the same three fields, so a
 * dispatch routine can tell them apart before it knows which one it holds.
 */
#pragma once

#include <ntddk.h>

#include "gendev/gendev.h"
#include "kernel_compat.h"
#include "nonpaged_pool.h"

/* The leading fields of every mpsbus device extension. */
struct DeviceExtensionHeader {
    BOOLEAN IsBoard;                /* 1 board, 0 port */
    PDEVICE_OBJECT DeviceObject;    /* the device that owns the extension */
    PVOID GenericExtension;         /* the board's gendev area (a port holds its board's) */
};

/* Device extension of a board device; the gendev area follows it directly. */
struct BoardExtension {
    BOOLEAN IsBoard;
    PDEVICE_OBJECT DeviceObject;
    PVOID GenericExtension;
    IO_REMOVE_LOCK RemoveLock;            /* used through GenericAcquire/ReleaseRemoveLock */
    PDEVICE_OBJECT LowerDeviceObject;
    PDEVICE_OBJECT Pdo;
    KSPIN_LOCK ChildListLock;             /* guards ChildList */
    volatile LONG InterfaceRefCount;      /* interlocked only */
    LIST_ENTRY ChildList;                 /* PortExtension.ChildLink, in port order */
    ULONG PortCount;
    WCHAR BoardNumber[10];                /* NUL-terminated decimal text */
    ULONG OemFlavour;                     /* 0 Velmora, 1 Tarvo, 2 Brisel */
    ULONG ModelIndex;
    ULONG BusType;                        /* 1 ISA, 5 PCI, 8 PCMCIA */
    BOOLEAN SkipBridgeInit;
    PCM_RESOURCE_LIST RawResources;       /* nonpaged copies of the START lists */
    ULONG RawResourcesSize;
    PCM_RESOURCE_LIST TranslatedResources;
    ULONG TranslatedResourcesSize;
    ULONG_PTR BridgeBase;                 /* I/O port, or mapped when BridgeMappedLength != 0 */
    ULONG BridgeMappedLength;
    ULONG_PTR UartBase;                   /* I/O port, or mapped when UartMappedLength != 0 */
    ULONG UartMappedLength;
    ULONG DeviceCode;                     /* number from the board's hardware ID */
    KEVENT ResourceLock;                  /* the lists, ranges and register sequences */
};

/* Device extension of a port device. */
struct PortExtension {
    BOOLEAN IsBoard;
    PDEVICE_OBJECT DeviceObject;
    PVOID GenericExtension;
    LIST_ENTRY ChildLink;                 /* in the board's ChildList */
    PDEVICE_OBJECT ParentBoard;
    ULONG OemFlavour;
    PWSTR DeviceId;                       /* nonpaged, 256 bytes */
    PWSTR HardwareIds;                    /* nonpaged multi-string */
    PWSTR InstanceId;                     /* nonpaged */
    ULONG PortNumber;                     /* 1-based */
    PHYSICAL_ADDRESS StartedUart;         /* the board's UART range at the port's last START */
    BOOLEAN Started;                      /* from that START to a STOP, SURPRISE_REMOVAL or REMOVE */
    BOOLEAN UartMoved;                    /* the board restarted elsewhere; cleared by the next START */
    BOOLEAN SurpriseRemoved;              /* from IRP_MN_SURPRISE_REMOVAL to the port's own REMOVE */
};

/* A port that was surprise-removed and still waited for its own removal
   when its board went. It outlives the board, unlinked, and points into no
   board's extension; its own removal deletes it. */
inline BOOLEAN IsOrphanPort(PDEVICE_OBJECT port)
{
    return static_cast<DeviceExtensionHeader *>(port->DeviceExtension)->GenericExtension == NULL;
}

#define MPS_SAME_HEADER(type, field) \
    static_assert(offsetof(type, field) == offsetof(DeviceExtensionHeader, field), #type "." #field)
MPS_SAME_HEADER(BoardExtension, IsBoard);
MPS_SAME_HEADER(BoardExtension, DeviceObject);
MPS_SAME_HEADER(BoardExtension, GenericExtension);
MPS_SAME_HEADER(PortExtension, IsBoard);
MPS_SAME_HEADER(PortExtension, DeviceObject);
MPS_SAME_HEADER(PortExtension, GenericExtension);
#undef MPS_SAME_HEADER

inline DeviceExtensionHeader *HeaderOf(PDEVICE_OBJECT device)
{
    return static_cast<DeviceExtensionHeader *>(device->DeviceExtension);
}
inline BoardExtension *BoardOf(PDEVICE_OBJECT board) { return static_cast<BoardExtension *>(board->DeviceExtension); }
inline PortExtension *PortOf(PDEVICE_OBJECT port) { return static_cast<PortExtension *>(port->DeviceExtension); }

/* A START after a stop replaces the list copies and ranges while port
   stacks may be calling the bus interface from their own threads, and the
   interface's option setting runs register sequences at the UART range.
   Both sides allocate paged pool and read the registry while they hold the
   lock, so it is a synchronization event waited for at PASSIVE_LEVEL: a
   spin lock would raise the holder to DISPATCH_LEVEL. */
inline VOID InitializeResourceLock(BoardExtension *board)
{
    KeInitializeEvent(&board->ResourceLock, SynchronizationEvent, TRUE);
}
inline VOID LockResources(BoardExtension *board)
{
    KeWaitForSingleObject(&board->ResourceLock, Executive, KernelMode, FALSE, NULL);
}
inline VOID UnlockResources(BoardExtension *board) { KeSetEvent(&board->ResourceLock, IO_NO_INCREMENT, FALSE); }

/* driver_entry.cpp */
extern UNICODE_STRING RegistryPathCopy;
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
VOID NTAPI BusUnload(PDRIVER_OBJECT DriverObject);

/* nonpaged_pool.cpp: the type of every nonpaged block (the resource list
   copies, the ports' identity strings), set at DriverEntry. */
extern POOL_TYPE gNonPagedPoolType;

/* dispatch.cpp */
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

/* board_device.cpp */
NTSTATUS NTAPI AddBoardDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
VOID InitializeChildList(PDEVICE_OBJECT Board);
NTSTATUS NTAPI StopBoard(PDEVICE_OBJECT Board, PIRP Unused);
NTSTATUS NTAPI RemoveBoard(PDEVICE_OBJECT Board);
BOOLEAN NTAPI AnswerTrue(PVOID Unused);

/* start_sequence.cpp */
NTSTATUS NTAPI StartSequence(PDEVICE_OBJECT Board, PCM_RESOURCE_LIST Unused1, PCM_RESOURCE_LIST Unused2);
