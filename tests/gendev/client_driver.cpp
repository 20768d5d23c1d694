#include "client_driver.h"

#include "events.h"

#include <hk/host.h>

#include <cstring>

namespace stacktest {
namespace {

const char kService[] = "gendevclient";

// Both extensions begin alike, as a bus driver's dispatch needs them to.
struct ClientHeader {
    BOOLEAN isBoard;
    PVOID area;  // the board's gendev area
};

struct ClientBoard {
    ClientHeader header;
    IO_REMOVE_LOCK removeLock;
    PDEVICE_OBJECT lower;
    std::vector<PDEVICE_OBJECT> *ports;
};

ClientPlan gPlan;
ClientSeen gSeen;

ClientHeader *HeaderOf(PDEVICE_OBJECT device) { return static_cast<ClientHeader *>(device->DeviceExtension); }
ClientBoard *BoardOf(PDEVICE_OBJECT board) { return static_cast<ClientBoard *>(board->DeviceExtension); }

// A port callback notes how many hold its board's lock while it runs.
void NotePortCallback(PDEVICE_OBJECT port, const char *callback)
{
    RecordEvent(callback);
    // The board's area lies right behind its ClientBoard.
    const ClientBoard *board = static_cast<const ClientBoard *>(HeaderOf(port)->area) - 1;
    gSeen.portCallbackLockCounts.push_back(LONG(board->removeLock.Common.IoCount));
}

PWSTR PagedString(const char *text)
{
    size_t chars = std::strlen(text) + 1;
    auto string = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), kTestPoolTag));
    for (size_t i = 0; string != nullptr && i < chars; ++i) string[i] = static_cast<WCHAR>(text[i]);
    return string;
}

NTSTATUS NTAPI StartDevice(PDEVICE_OBJECT, PCM_RESOURCE_LIST Raw, PCM_RESOURCE_LIST Translated)
{
    RecordEvent("StartDevice");
    gSeen.startRaw = Raw;
    gSeen.startTranslated = Translated;
    return gPlan.startDevice;
}

NTSTATUS NTAPI StopDevice(PDEVICE_OBJECT Board, PIRP)
{
    RecordEvent("StopDevice");
    gSeen.stopDevice = Board;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RemoveDevice(PDEVICE_OBJECT Board)
{
    RecordEvent("RemoveDevice");
    ClientBoard *board = BoardOf(Board);
    for (PDEVICE_OBJECT port : *board->ports) IoDeleteDevice(port);
    delete board->ports;
    IoDetachDevice(board->lower);
    IoDeleteDevice(Board);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI QueryBusRelations(PDEVICE_OBJECT Board, PDEVICE_RELATIONS *Relations)
{
    RecordEvent("QueryBusRelations");
    *Relations = nullptr;
    if (!NT_SUCCESS(gPlan.relationsStatus)) return gPlan.relationsStatus;
    const std::vector<PDEVICE_OBJECT> &ports = *BoardOf(Board)->ports;
    if (!gPlan.reportPorts || ports.empty()) return STATUS_SUCCESS;
    ULONG size = FIELD_OFFSET(DEVICE_RELATIONS, Objects) + ULONG(ports.size()) * sizeof(PDEVICE_OBJECT);
    auto relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, size, kTestPoolTag));
    relations->Count = ULONG(ports.size());
    for (size_t i = 0; i < ports.size(); ++i) relations->Objects[i] = ports[i];
    *Relations = relations;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI QueryPortCapabilities(PDEVICE_OBJECT Port, PDEVICE_CAPABILITIES *Capabilities)
{
    NotePortCallback(Port, "QueryPortCapabilities");
    gSeen.capabilities = *Capabilities;
    (*Capabilities)->UniqueID = 1;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI QueryPortText(PDEVICE_OBJECT Port, DEVICE_TEXT_TYPE Type, PWSTR *Text)
{
    NotePortCallback(Port, "QueryPortText");
    *Text = PagedString(Type == DeviceTextDescription ? "Test Port" : "board 1 port 1");
    return gPlan.idStatus;
}

NTSTATUS NTAPI QueryPortId(PDEVICE_OBJECT Port, BUS_QUERY_ID_TYPE Type, PWSTR *Id)
{
    NotePortCallback(Port, "QueryPortId");
    *Id = PagedString(Type == BusQueryInstanceID ? "PORT_1" : "TEST\\PORT");
    return gPlan.idStatus;
}

NTSTATUS NTAPI StartPort(PDEVICE_OBJECT Port, PCM_RESOURCE_LIST Raw, PCM_RESOURCE_LIST Translated)
{
    NotePortCallback(Port, "StartPort");
    gSeen.portRaw = Raw;
    gSeen.portTranslated = Translated;
    return gPlan.startPort;
}

NTSTATUS NTAPI QueryPortInterface(PDEVICE_OBJECT Port, PIRP)
{
    NotePortCallback(Port, "QueryPortInterface");
    return gPlan.interfaceStatus;
}

BOOLEAN NTAPI MayStop(PVOID) { return gPlan.mayStop; }
BOOLEAN NTAPI MayRemove(PVOID) { return gPlan.mayRemove; }

NTSTATUS NTAPI ClientAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo)
{
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(ClientBoard) + GetSizeofGenericExtension(), nullptr,
                                     FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    ClientBoard *board = BoardOf(device);
    board->header.isBoard = TRUE;
    board->lower = IoAttachDeviceToDeviceStack(device, Pdo);
    if (board->lower == nullptr) {
        IoDeleteDevice(device);
        return STATUS_DEVICE_REMOVED;
    }
    board->header.area = board + 1;
    GenericInitRecord record = ClientRecord(device, Pdo, board->lower);
    status = InitializeGenericExtension(board->header.area, &record);
    if (!NT_SUCCESS(status)) {
        CleanupGenericExtension(board->header.area);
        IoDetachDevice(board->lower);
        IoDeleteDevice(device);
        return status;
    }
    board->ports = new std::vector<PDEVICE_OBJECT>;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    device->Flags |= DO_POWER_PAGABLE;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI ClientPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    ClientHeader *header = HeaderOf(DeviceObject);
    if (header->isBoard) return GenericDispatchPnp(header->area, Irp);
    return GenericDispatchPnpForPDO(header->area, DeviceObject, Irp);
}

NTSTATUS NTAPI ClientPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    ClientHeader *header = HeaderOf(DeviceObject);
    if (header->isBoard) return GenericDispatchPower(header->area, Irp);
    return GenericDispatchPowerForPDO(header->area, Irp);
}

NTSTATUS NTAPI ClientEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING)
{
    DriverObject->DriverExtension->AddDevice = ClientAddDevice;
    DriverObject->MajorFunction[IRP_MJ_PNP] = ClientPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = ClientPower;
    return STATUS_SUCCESS;
}

}  // namespace

void ResetClient()
{
    gPlan = ClientPlan();
    gSeen = ClientSeen();
}

ClientPlan &Plan() { return gPlan; }
ClientSeen &Seen() { return gSeen; }

GenericInitRecord ClientRecord(PDEVICE_OBJECT board, PDEVICE_OBJECT pdo, PDEVICE_OBJECT lower)
{
    GenericInitRecord record{};
    record.Size = GENERIC_INIT_RECORD_SIZE;
    record.DeviceObject = board;
    record.Pdo = pdo;
    record.LowerDeviceObject = lower;
    record.RemoveLock = &BoardOf(board)->removeLock;
    record.StartDevice = StartDevice;
    record.StopDevice = StopDevice;
    record.RemoveDevice = RemoveDevice;
    record.QueryBusRelations = QueryBusRelations;
    if (gPlan.portCallbacks) {
        record.QueryPortCapabilities = QueryPortCapabilities;
        record.QueryPortText = QueryPortText;
        record.QueryPortId = QueryPortId;
        record.StartPort = StartPort;
        record.QueryPortInterface = QueryPortInterface;
    }
    record.Options = gPlan.options;
    record.BooleanQuery1 = MayStop;
    record.BooleanQuery2 = MayRemove;
    return record;
}

PDEVICE_OBJECT AddClientBoard(PDEVICE_OBJECT pdo, NTSTATUS *status)
{
    PDRIVER_OBJECT driver = hk::DriverOf(kService);
    NTSTATUS result = STATUS_SUCCESS;
    if (driver == nullptr) driver = hk::LoadBuiltinDriver(kService, ClientEntry, &result);
    if (driver != nullptr) result = driver->DriverExtension->AddDevice(driver, pdo);
    if (status != nullptr) *status = result;
    if (!NT_SUCCESS(result)) return nullptr;
    PDEVICE_OBJECT top = pdo;
    while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
    return top;
}

PDEVICE_OBJECT CreateClientPort(PDEVICE_OBJECT board)
{
    PDEVICE_OBJECT port = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(board->DriverObject, sizeof(ClientHeader), nullptr, FILE_DEVICE_UNKNOWN,
                                   FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &port)))
        return nullptr;
    HeaderOf(port)->isBoard = FALSE;
    HeaderOf(port)->area = HeaderOf(board)->area;
    port->Flags &= ~DO_DEVICE_INITIALIZING;
    port->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
    BoardOf(board)->ports->push_back(port);
    return port;
}

PVOID BoardRemoveLock(PDEVICE_OBJECT board) { return &BoardOf(board)->removeLock; }

}  // namespace stacktest
