/*
 * gendev: generic Plug and Play, power and remove-lock handling for a bus
 * driver's function device (the "board") and the child devices it enumerates
 * (the "ports").
 *
 * The client reserves GetSizeofGenericExtension() bytes in its board device's
 * extension, describes the board in a GenericInitRecord and hands both to
 * InitializeGenericExtension. From then on its dispatch routines pass every
 * PnP and power request of the board and of its ports to the routines below,
 * which own the request from that moment (they complete or forward it) and
 * call the client back for everything device-specific.
 *
 * What the client can rely on:
 * - StartDevice runs only once the lower drivers completed the board's
 *   IRP_MN_START_DEVICE with success; its failure fails the START.
 * - StopDevice runs before RemoveDevice whenever a START reached the library
 *   since the last StopDevice, even if that START failed later, and also on
 *   IRP_MN_SURPRISE_REMOVAL, so whatever a START acquired is released.
 * - RemoveDevice runs last, after IRP_MN_REMOVE_DEVICE went down the stack
 *   and every remove-lock acquisition was released. It deletes the board
 *   device, which holds the library's area: nothing touches the area after.
 * - Nothing is deleted or detached during surprise removal.
 * - Each device object listed by QueryBusRelations gets one reference before
 *   the list goes up; the list itself passes to the PnP manager.
 * - Every port request is completed here; port device objects belong to the
 *   client (the library never deletes one).
 * - The library is the power policy owner of the board and of its ports
 *   (the client's port settings tell the serial port driver to relinquish
 *   the ports' policy). A system set-power request for the board goes down,
 *   then the library asks for the board's device state with
 *   PoRequestPowerIrp (D3 for any sleeping state, D0 for working) and
 *   completes the system request once that is done; a port's system request
 *   brings a device request for that port the same way. Device requests of
 *   the board go down (the board is recorded in D3 before they do, in D0
 *   once the drivers below have powered it up); every port power request is
 *   completed here. Each request is let go with PoStartNextPowerIrp and
 *   passed with PoCallDriver, as Windows before Vista requires. The client
 *   calls no Po routine.
 *
 * Requests run at PASSIVE_LEVEL, as the PnP manager sends them.
 */
#pragma once

#include <ntddk.h>

/*
 * Callbacks. Each receives the board device or the port device first.
 * Strings and lists returned through out arguments come from PagedPool and
 * pass to the library (and from it to the PnP manager).
 */
/* The board's START, after the lower drivers started it: the request's raw
   and translated resource lists. */
typedef NTSTATUS NTAPI GENERIC_START_DEVICE(PDEVICE_OBJECT Board, PCM_RESOURCE_LIST Raw,
                                            PCM_RESOURCE_LIST Translated);
/* Release what a START acquired. Irp is the STOP, SURPRISE_REMOVAL or
   REMOVE request that made the stop necessary. */
typedef NTSTATUS NTAPI GENERIC_STOP_DEVICE(PDEVICE_OBJECT Board, PIRP Irp);
/* Last call for a board: free everything, detach, and hand the device to
   IoDeleteDevice. */
typedef NTSTATUS NTAPI GENERIC_REMOVE_DEVICE(PDEVICE_OBJECT Board);
/* The board's children, unreferenced; a null list means none. */
typedef NTSTATUS NTAPI GENERIC_QUERY_BUS_RELATIONS(PDEVICE_OBJECT Board, PDEVICE_RELATIONS *Relations);
/* Edit the capabilities in place (the request's own pointer is passed). */
typedef NTSTATUS NTAPI GENERIC_QUERY_PORT_CAPABILITIES(PDEVICE_OBJECT Port, PDEVICE_CAPABILITIES *Capabilities);
typedef NTSTATUS NTAPI GENERIC_QUERY_PORT_TEXT(PDEVICE_OBJECT Port, DEVICE_TEXT_TYPE Type, PWSTR *Text);
typedef NTSTATUS NTAPI GENERIC_QUERY_PORT_ID(PDEVICE_OBJECT Port, BUS_QUERY_ID_TYPE Type, PWSTR *Id);
/* A port's START: the request's raw and translated resource lists. */
typedef NTSTATUS NTAPI GENERIC_START_PORT(PDEVICE_OBJECT Port, PCM_RESOURCE_LIST Raw, PCM_RESOURCE_LIST Translated);
/* Fill the interface the request asks for and return STATUS_SUCCESS, or
   return another status without touching IoStatus. STATUS_NOT_SUPPORTED
   means "not an interface of this port": the request then completes with the
   status it carried, as a bus driver's must. Any other status fails it. */
typedef NTSTATUS NTAPI GENERIC_QUERY_PORT_INTERFACE(PDEVICE_OBJECT Port, PIRP Irp);
/* BooleanQuery1 asks "may the board stop now?" (IRP_MN_QUERY_STOP_DEVICE),
   BooleanQuery2 "may the board be removed now?" (IRP_MN_QUERY_REMOVE_DEVICE).
   FALSE fails the query with STATUS_UNSUCCESSFUL; a null slot answers TRUE.
   The argument is the board device. */
typedef BOOLEAN NTAPI GENERIC_BOOLEAN_QUERY(PVOID Board);

typedef GENERIC_START_DEVICE *PGENERIC_START_DEVICE;
typedef GENERIC_STOP_DEVICE *PGENERIC_STOP_DEVICE;
typedef GENERIC_REMOVE_DEVICE *PGENERIC_REMOVE_DEVICE;
typedef GENERIC_QUERY_BUS_RELATIONS *PGENERIC_QUERY_BUS_RELATIONS;
typedef GENERIC_QUERY_PORT_CAPABILITIES *PGENERIC_QUERY_PORT_CAPABILITIES;
typedef GENERIC_QUERY_PORT_TEXT *PGENERIC_QUERY_PORT_TEXT;
typedef GENERIC_QUERY_PORT_ID *PGENERIC_QUERY_PORT_ID;
typedef GENERIC_START_PORT *PGENERIC_START_PORT;
typedef GENERIC_QUERY_PORT_INTERFACE *PGENERIC_QUERY_PORT_INTERFACE;
typedef GENERIC_BOOLEAN_QUERY *PGENERIC_BOOLEAN_QUERY;

/*
 * Options.
 * GENERIC_OPTION_PORTS_USE_NO_RESOURCES: the ports answer
 * IRP_MN_QUERY_RESOURCES and IRP_MN_QUERY_RESOURCE_REQUIREMENTS with success
 * and no list, so the PnP manager assigns them nothing of their own. Without
 * it those requests complete with the status they carried.
 * Any other bit is refused by InitializeGenericExtension.
 */
#define GENERIC_OPTION_PORTS_USE_NO_RESOURCES 0x00000020UL
#define GENERIC_OPTIONS_KNOWN (GENERIC_OPTION_PORTS_USE_NO_RESOURCES)

/*
 * The record that binds a board device to the library; read during
 * InitializeGenericExtension only. It is 39 pointer-sized slots: 156 bytes
 * on x86, where each slot is a 32-bit word. Slots marked Reserved must be
 * zero.
 * Required: Size, DeviceObject, LowerDeviceObject, RemoveLock, StartDevice,
 * StopDevice and RemoveDevice. Every other callback may be null: the request
 * then passes down (board) or completes with the status it carried (port).
 * NameString must be empty: the library creates no named objects, and a
 * name is refused rather than silently ignored.
 */
struct GenericInitRecord {
    ULONG Size;                        /* GENERIC_INIT_RECORD_SIZE (the slot's low half on x64) */
    PDEVICE_OBJECT DeviceObject;       /* the board device */
    PDEVICE_OBJECT Pdo;                /* the board's physical device object */
    PDEVICE_OBJECT LowerDeviceObject;  /* what attaching the board returned */
    PVOID RemoveLock;                  /* IO_REMOVE_LOCK storage in the client's extension */
    ULONG_PTR Reserved1[2];
    PGENERIC_START_DEVICE StartDevice;
    PGENERIC_STOP_DEVICE StopDevice;
    PGENERIC_REMOVE_DEVICE RemoveDevice;
    PGENERIC_QUERY_BUS_RELATIONS QueryBusRelations;
    PVOID Reserved2;
    PGENERIC_QUERY_PORT_CAPABILITIES QueryPortCapabilities;
    PGENERIC_QUERY_PORT_TEXT QueryPortText;
    PGENERIC_QUERY_PORT_ID QueryPortId;
    PGENERIC_START_PORT StartPort;
    PVOID Reserved3[2];
    PGENERIC_QUERY_PORT_INTERFACE QueryPortInterface;
    UNICODE_STRING NameString;
    ULONG Options;                     /* GENERIC_OPTION_* (the slot's low half on x64) */
    PGENERIC_BOOLEAN_QUERY BooleanQuery1;
    PGENERIC_BOOLEAN_QUERY BooleanQuery2;
    ULONG_PTR Reserved4[15];
};

#define GENERIC_INIT_RECORD_SIZE ((ULONG)sizeof(GenericInitRecord))

/* The record crosses a library boundary: its layout is fixed slot by slot,
   and on x86 byte by byte. */
#define GENERIC_RECORD_WORD(field, word) \
    static_assert(offsetof(GenericInitRecord, field) == (word) * sizeof(PVOID), "GenericInitRecord." #field)
static_assert(sizeof(GenericInitRecord) == 39 * sizeof(PVOID), "GenericInitRecord is 39 slots");
#ifndef _WIN64
static_assert(sizeof(GenericInitRecord) == 156, "GenericInitRecord is 156 bytes on x86");
#endif
GENERIC_RECORD_WORD(Size, 0);
GENERIC_RECORD_WORD(DeviceObject, 1);
GENERIC_RECORD_WORD(Pdo, 2);
GENERIC_RECORD_WORD(LowerDeviceObject, 3);
GENERIC_RECORD_WORD(RemoveLock, 4);
GENERIC_RECORD_WORD(Reserved1, 5);
GENERIC_RECORD_WORD(StartDevice, 7);
GENERIC_RECORD_WORD(StopDevice, 8);
GENERIC_RECORD_WORD(RemoveDevice, 9);
GENERIC_RECORD_WORD(QueryBusRelations, 10);
GENERIC_RECORD_WORD(Reserved2, 11);
GENERIC_RECORD_WORD(QueryPortCapabilities, 12);
GENERIC_RECORD_WORD(QueryPortText, 13);
GENERIC_RECORD_WORD(QueryPortId, 14);
GENERIC_RECORD_WORD(StartPort, 15);
GENERIC_RECORD_WORD(Reserved3, 16);
GENERIC_RECORD_WORD(QueryPortInterface, 18);
GENERIC_RECORD_WORD(NameString, 19);
GENERIC_RECORD_WORD(Options, 21);
GENERIC_RECORD_WORD(BooleanQuery1, 22);
GENERIC_RECORD_WORD(BooleanQuery2, 23);
GENERIC_RECORD_WORD(Reserved4, 24);
#undef GENERIC_RECORD_WORD

extern "C" {

/* Bytes the client reserves for the library's area (pointer-aligned). */
ULONG NTAPI GetSizeofGenericExtension(void);

/* Binds Area to the board the record describes and initialises the remove
   lock at Record->RemoveLock. STATUS_INVALID_PARAMETER for a record the
   library cannot honour (size, missing required slot, unknown option, name);
   the area is then left so that CleanupGenericExtension may run on it. */
NTSTATUS NTAPI InitializeGenericExtension(PVOID Area, const GenericInitRecord *Record);

/* Undoes InitializeGenericExtension on an AddDevice that fails afterwards.
   A null area (nothing was initialised) is accepted and does nothing. */
VOID NTAPI CleanupGenericExtension(PVOID Area);

/* Board requests: PnP and power of the board device. */
NTSTATUS NTAPI GenericDispatchPnp(PVOID Area, PIRP Irp);
NTSTATUS NTAPI GenericDispatchPower(PVOID Area, PIRP Irp);

/* Port requests: Area is the board's area, Port the port device. */
NTSTATUS NTAPI GenericDispatchPnpForPDO(PVOID Area, PDEVICE_OBJECT Port, PIRP Irp);
NTSTATUS NTAPI GenericDispatchPowerForPDO(PVOID Area, PIRP Irp);

/* IRP_MN_QUERY_DEVICE_RELATIONS of type TargetDeviceRelation at a PDO:
   the PDO itself, referenced, in a PagedPool block put in Information.
   STATUS_INSUFFICIENT_RESOURCES, and nothing put, without the block. */
NTSTATUS NTAPI GenericAnswerTargetRelation(PDEVICE_OBJECT Pdo, PIRP Irp);

/* One acquisition of the board's remove lock, for work the client does
   outside a request (an interface reference). Fails with
   STATUS_DELETE_PENDING once the board's removal has begun waiting. */
NTSTATUS NTAPI GenericAcquireRemoveLock(PVOID RemoveLock, PVOID Tag);
VOID NTAPI GenericReleaseRemoveLock(PVOID RemoveLock, PVOID Tag);

}  // extern "C"
