#include "interface_board.h"

#include "PciParent/bus_interface.h"
#include "lower_driver.h"

#include <cstring>

bool operator==(const CM_PARTIAL_RESOURCE_DESCRIPTOR &a, const CM_PARTIAL_RESOURCE_DESCRIPTOR &b)
{
    return memcmp(&a, &b, sizeof(a)) == 0;
}

void PrintTo(const CM_PARTIAL_RESOURCE_DESCRIPTOR &d, std::ostream *os)
{
    *os << "{type " << int(d.Type) << " share " << int(d.ShareDisposition) << " flags 0x" << std::hex << d.Flags;
    if (d.Type == CmResourceTypePort)
        *os << " start 0x" << d.u.Port.Start.HighPart << ":" << d.u.Port.Start.LowPart << " length 0x"
            << d.u.Port.Length;
    *os << std::dec << "}";
}

namespace interfacetest {
namespace {

const char kService[] = "portbustest";

NTSTATUS NTAPI OnStart(PDEVICE_OBJECT, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) { return STATUS_SUCCESS; }
NTSTATUS NTAPI OnStop(PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; }

// As the bus driver's removal does it: the lists, the ports, the board.
NTSTATUS NTAPI OnRemove(PDEVICE_OBJECT Board)
{
    stacktest::RecordEvent("RemoveDevice");
    BoardExtension *board = BoardOf(Board);
    if (board->RawResources != nullptr) ExFreePool(board->RawResources);
    if (board->TranslatedResources != nullptr) ExFreePool(board->TranslatedResources);
    while (!IsListEmpty(&board->ChildList)) {
        PLIST_ENTRY link = RemoveHeadList(&board->ChildList);
        IoDeleteDevice(CONTAINING_RECORD(link, PortExtension, ChildLink)->DeviceObject);
    }
    IoDetachDevice(board->LowerDeviceObject);
    IoDeleteDevice(Board);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    DeviceExtensionHeader *header = HeaderOf(DeviceObject);
    if (header->IsBoard) return GenericDispatchPnp(header->GenericExtension, Irp);
    return GenericDispatchPnpForPDO(header->GenericExtension, DeviceObject, Irp);
}

NTSTATUS NTAPI Entry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING)
{
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    return STATUS_SUCCESS;
}

PDRIVER_OBJECT Driver()
{
    NTSTATUS status = STATUS_SUCCESS;
    PDRIVER_OBJECT driver = hk::DriverOf(kService);
    return driver != nullptr ? driver : hk::LoadBuiltinDriver(kService, Entry, &status);
}

// As capture copies a START list: the header and Count descriptors.
PCM_RESOURCE_LIST NonPagedCopy(const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> &descriptors, ULONG *size)
{
    hk::test::ResourceList list(descriptors);
    *size = ULONG(FIELD_OFFSET(CM_RESOURCE_LIST, List[0].PartialResourceList.PartialDescriptors) +
                  descriptors.size() * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR));
    auto copy = static_cast<PCM_RESOURCE_LIST>(ExAllocatePoolWithTag(NonPagedPool, *size, MPS_POOL_TAG));
    memcpy(copy, list.bytes(), *size);
    return copy;
}

}  // namespace

CM_PARTIAL_RESOURCE_DESCRIPTOR WithFlags(CM_PARTIAL_RESOURCE_DESCRIPTOR descriptor, USHORT flags)
{
    descriptor.Flags = flags;
    return descriptor;
}

std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> DescriptorsOf(const CM_RESOURCE_LIST *list)
{
    const CM_PARTIAL_RESOURCE_LIST &partial = list->List[0].PartialResourceList;
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> descriptors(partial.Count);
    if (partial.Count != 0)
        memcpy(descriptors.data(), partial.PartialDescriptors, partial.Count * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR));
    return descriptors;
}

PDEVICE_OBJECT CreateBoard(PDEVICE_OBJECT pdo)
{
    PDRIVER_OBJECT driver = Driver();
    PDEVICE_OBJECT device = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(driver, sizeof(BoardExtension) + GetSizeofGenericExtension(), nullptr,
                                   FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &device)))
        return nullptr;
    BoardExtension *board = BoardOf(device);
    board->IsBoard = TRUE;
    board->DeviceObject = device;
    KeInitializeSpinLock(&board->ChildListLock);
    InitializeListHead(&board->ChildList);
    InitializeResourceLock(board);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    device->Flags |= DO_POWER_PAGABLE;
    board->Pdo = pdo;
    board->LowerDeviceObject = IoAttachDeviceToDeviceStack(device, pdo);
    board->GenericExtension = board + 1;

    GenericInitRecord record{};
    record.Size = GENERIC_INIT_RECORD_SIZE;
    record.DeviceObject = device;
    record.Pdo = pdo;
    record.LowerDeviceObject = board->LowerDeviceObject;
    record.RemoveLock = &board->RemoveLock;
    record.StartDevice = OnStart;
    record.StopDevice = OnStop;
    record.RemoveDevice = OnRemove;
    record.QueryPortInterface = QueryPortInterface;
    record.Options = GENERIC_OPTION_PORTS_USE_NO_RESOURCES;
    if (!NT_SUCCESS(InitializeGenericExtension(board->GenericExtension, &record))) return nullptr;
    return device;
}

PDEVICE_OBJECT CreatePort(PDEVICE_OBJECT board, ULONG portNumber)
{
    PDEVICE_OBJECT device = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(board->DriverObject, sizeof(PortExtension), nullptr, FILE_DEVICE_UNKNOWN,
                                   FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &device)))
        return nullptr;
    PortExtension *port = PortOf(device);
    port->IsBoard = FALSE;
    port->DeviceObject = device;
    port->GenericExtension = BoardOf(board)->GenericExtension;
    port->ParentBoard = board;
    port->PortNumber = portNumber;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    device->Flags |= DO_POWER_PAGABLE | DO_BUS_ENUMERATED_DEVICE;
    ExInterlockedInsertTailList(&BoardOf(board)->ChildList, &port->ChildLink, &BoardOf(board)->ChildListLock);
    return device;
}

void InterfaceTest::SetUp()
{
    KernelTest::SetUp();
    stacktest::ClearEvents();
    pdo_ = stacktest::CreateLowerPdo();
    ASSERT_NE(pdo_, nullptr);
    ASSERT_NE(stacktest::AddLowerFilter(pdo_), nullptr);
    boardDevice_ = CreateBoard(pdo_);
    ASSERT_NE(boardDevice_, nullptr);
    board_ = BoardOf(boardDevice_);
    port_ = CreatePort(boardDevice_, 1);
    ASSERT_NE(port_, nullptr);
}

void InterfaceTest::TearDown()
{
    if (boardDevice_ != nullptr) EXPECT_EQ(RemoveBoard(), STATUS_SUCCESS);
    stacktest::ResetLowerDriver();
    EXPECT_EQ(hk::LivePoolCount(), 0u) << "pool left behind";
    EXPECT_EQ(hk::LiveDeviceCount(), 0u);
    KernelTest::TearDown();
}

void InterfaceTest::Capture(ULONG busType, const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> &raw,
                            const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> &translated)
{
    board_->BusType = busType;
    board_->RawResources = NonPagedCopy(raw, &board_->RawResourcesSize);
    board_->TranslatedResources = NonPagedCopy(translated, &board_->TranslatedResourcesSize);
}

NTSTATUS InterfaceTest::Query(PDEVICE_OBJECT port, PortBusInterface *record, const GUID &type, USHORT size,
                              USHORT version)
{
    return hk::SendIrpSync(port, IRP_MJ_PNP, IRP_MN_QUERY_INTERFACE, [&](PIO_STACK_LOCATION stack) {
        stack->Parameters.QueryInterface.InterfaceType = &type;
        stack->Parameters.QueryInterface.Size = size;
        stack->Parameters.QueryInterface.Version = version;
        stack->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(record);
        stack->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
    });
}

NTSTATUS InterfaceTest::QueryDirect(PDEVICE_OBJECT port, PortBusInterface *record)
{
    PIRP irp = hk::AllocateManagerIrp(1);
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = IRP_MN_QUERY_INTERFACE;
    stack->DeviceObject = port;
    stack->Parameters.QueryInterface.InterfaceType = &GUID_PORT_BUS_INTERFACE;
    stack->Parameters.QueryInterface.Size = sizeof(PortBusInterface);
    stack->Parameters.QueryInterface.Version = 1;
    stack->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(record);
    NTSTATUS status = QueryPortInterface(port, irp);
    IoFreeIrp(irp);
    return status;
}

NTSTATUS InterfaceTest::RemoveBoard()
{
    NTSTATUS status = hk::SendIrpSync(boardDevice_, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, [](PIO_STACK_LOCATION) {});
    boardDevice_ = nullptr;
    board_ = nullptr;
    port_ = nullptr;
    return status;
}

}  // namespace interfacetest
