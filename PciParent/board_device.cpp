/*
 * A board device's creation, stop and removal. Start lives in
 * start_sequence.cpp; gendev decides when each of these runs.
 */
#include "mpsbus.h"
#include "bus_interface.h"
#include "port_devices.h"
#include "port_services.h"

VOID InitializeChildList(PDEVICE_OBJECT Board)
{
    BoardExtension *board = BoardOf(Board);
    KeInitializeSpinLock(&board->ChildListLock);
    InitializeListHead(&board->ChildList);
}

BOOLEAN NTAPI AnswerTrue(PVOID Unused)
{
    UNREFERENCED_PARAMETER(Unused);
    return TRUE;
}

static VOID FillInitRecord(BoardExtension *board, GenericInitRecord *record)
{
    RtlZeroMemory(record, sizeof(*record));
    record->Size = GENERIC_INIT_RECORD_SIZE;
    record->DeviceObject = board->DeviceObject;
    record->Pdo = board->Pdo;
    record->LowerDeviceObject = board->LowerDeviceObject;
    record->RemoveLock = &board->RemoveLock;
    record->StartDevice = StartSequence;
    record->StopDevice = StopBoard;
    record->RemoveDevice = RemoveBoard;
    record->QueryBusRelations = QueryBusRelations;
    record->QueryPortCapabilities = QueryPortCapabilities;
    record->QueryPortText = QueryPortText;
    record->QueryPortId = QueryPortId;
    record->StartPort = StartPort;
    record->QueryPortInterface = QueryPortInterface;
    RtlInitUnicodeString(&record->NameString, NULL);
    record->Options = GENERIC_OPTION_PORTS_USE_NO_RESOURCES;
    record->BooleanQuery1 = AnswerTrue;
    record->BooleanQuery2 = AnswerTrue;
}

NTSTATUS NTAPI AddBoardDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PDEVICE_OBJECT device = NULL;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(BoardExtension) + GetSizeofGenericExtension(), NULL,
                                     FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;

    BoardExtension *board = BoardOf(device);
    InitializeChildList(device);
    InitializeResourceLock(board);
    board->DeviceObject = device;
    board->IsBoard = TRUE;
    /* Ports copy DO_BUFFERED_IO from here; power requests stay at PASSIVE_LEVEL. */
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    device->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;

    board->Pdo = PhysicalDeviceObject;
    board->LowerDeviceObject = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
    if (board->LowerDeviceObject == NULL) {
        status = STATUS_DEVICE_REMOVED;
    } else {
        board->GenericExtension = reinterpret_cast<PUCHAR>(board) + sizeof(BoardExtension);
        GenericInitRecord record;
        FillInitRecord(board, &record);
        status = InitializeGenericExtension(board->GenericExtension, &record);
    }

    if (!NT_SUCCESS(status)) {
        /* GenericExtension is still null when the attach failed. */
        CleanupGenericExtension(board->GenericExtension);
        if (board->LowerDeviceObject != NULL) IoDetachDevice(board->LowerDeviceObject);
        IoDeleteDevice(device);
    }
    return status;
}

/* A stopped board owns no range any more: a mapping is released, and either
   kind of base is forgotten, so that nothing reached through the board
   afterwards (a port's interface held across the stop) touches registers
   that may be another device's by now. Register steps refuse a base of 0. */
static VOID ForgetRange(ULONG_PTR *base, ULONG *mappedLength)
{
    if (*mappedLength != 0 && *base != 0) MmUnmapIoSpace(reinterpret_cast<PVOID>(*base), *mappedLength);
    *mappedLength = 0;
    *base = 0;
}

NTSTATUS NTAPI StopBoard(PDEVICE_OBJECT Board, PIRP Unused)
{
    UNREFERENCED_PARAMETER(Unused);
    BoardExtension *board = BoardOf(Board);
    LockResources(board);
    ForgetRange(&board->BridgeBase, &board->BridgeMappedLength);
    ForgetRange(&board->UartBase, &board->UartMappedLength);
    UnlockResources(board);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RemoveBoard(PDEVICE_OBJECT Board)
{
    BoardExtension *board = BoardOf(Board);
    if (board->RawResources != NULL) ExFreePool(board->RawResources);
    board->RawResources = NULL;
    if (board->TranslatedResources != NULL) ExFreePool(board->TranslatedResources);
    board->TranslatedResources = NULL;

    NTSTATUS status = DeletePortDevices(Board);

    /* The gendev area lies in this extension and goes with the device. */
    IoDetachDevice(board->LowerDeviceObject);
    IoDeleteDevice(Board);
    return status;
}
