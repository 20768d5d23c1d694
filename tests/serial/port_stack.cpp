#include "port_stack.h"

#include <chrono>
#include <cstring>

namespace serialtest {
namespace {

constexpr char kPortBusService[] = "testportbus";
constexpr size_t kListHeaderBytes = 20;  // Count, then InterfaceType, BusNumber, Version, Revision, Count

PortDeviceScript *ScriptOf(PDEVICE_OBJECT pdo)
{
    return *static_cast<PortDeviceScript **>(pdo->DeviceExtension);
}

NTSTATUS Complete(PIRP irp)
{
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI PortDevicePnp(PDEVICE_OBJECT pdo, PIRP irp)
{
    PortDeviceScript *script = ScriptOf(pdo);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    script->seen.emplace_back(stack->MajorFunction, stack->MinorFunction);
    if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE) irp->IoStatus.Status = STATUS_SUCCESS;
    if (stack->MinorFunction != IRP_MN_START_DEVICE) return Complete(irp);

    if (!script->completeStartLater) {
        irp->IoStatus.Status = script->startStatus;
        return Complete(irp);
    }
    // The outcome is known only when the request completes, so a driver that
    // did not wait for it would see the status preset by the sender.
    IoMarkIrpPending(irp);
    NTSTATUS outcome = script->startStatus;
    script->completer = std::thread([irp, outcome] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        irp->IoStatus.Status = outcome;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    });
    return STATUS_PENDING;
}

NTSTATUS NTAPI PortDevicePower(PDEVICE_OBJECT pdo, PIRP irp)
{
    PoStartNextPowerIrp(irp);
    ScriptOf(pdo)->seen.emplace_back(IRP_MJ_POWER, IoGetCurrentIrpStackLocation(irp)->MinorFunction);
    irp->IoStatus.Status = STATUS_SUCCESS;
    return Complete(irp);
}

NTSTATUS NTAPI PortDeviceOther(PDEVICE_OBJECT pdo, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ScriptOf(pdo)->seen.emplace_back(stack->MajorFunction, stack->MinorFunction);
    irp->IoStatus.Status = STATUS_SUCCESS;
    return Complete(irp);
}

NTSTATUS NTAPI PortBusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (PDRIVER_DISPATCH &dispatch : driver->MajorFunction) dispatch = PortDeviceOther;
    driver->MajorFunction[IRP_MJ_PNP] = PortDevicePnp;
    driver->MajorFunction[IRP_MJ_POWER] = PortDevicePower;
    return STATUS_SUCCESS;
}

}  // namespace

const char SerialStackTest::kInstancePath[] = "MPSTEST\\SERIALPORT\\1";

CM_PARTIAL_RESOURCE_DESCRIPTOR PortDescriptor(ULONG start, ULONG length)
{
    CM_PARTIAL_RESOURCE_DESCRIPTOR d = {};
    d.Type = CmResourceTypePort;
    d.ShareDisposition = CmResourceShareDeviceExclusive;
    d.Flags = CM_RESOURCE_PORT_IO;
    d.u.Port.Start.LowPart = start;
    d.u.Port.Length = length;
    return d;
}

CM_PARTIAL_RESOURCE_DESCRIPTOR MemoryDescriptor(ULONG start, ULONG length)
{
    CM_PARTIAL_RESOURCE_DESCRIPTOR d = {};
    d.Type = CmResourceTypeMemory;
    d.ShareDisposition = CmResourceShareDeviceExclusive;
    d.u.Memory.Start.LowPart = start;
    d.u.Memory.Length = length;
    return d;
}

CM_PARTIAL_RESOURCE_DESCRIPTOR MemorySpacePortDescriptor(ULONGLONG start, ULONG length)
{
    CM_PARTIAL_RESOURCE_DESCRIPTOR d = PortDescriptor(0, length);
    d.Flags = CM_RESOURCE_PORT_MEMORY;
    d.u.Port.Start.QuadPart = LONGLONG(start);
    return d;
}

CM_PARTIAL_RESOURCE_DESCRIPTOR InterruptDescriptor(ULONG level, ULONG vector)
{
    CM_PARTIAL_RESOURCE_DESCRIPTOR d = {};
    d.Type = CmResourceTypeInterrupt;
    d.ShareDisposition = CmResourceShareShared;
    d.Flags = CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE;
    d.u.Interrupt.Level = level;
    d.u.Interrupt.Vector = vector;
    d.u.Interrupt.Affinity = 1;
    return d;
}

ResourceList::ResourceList(std::initializer_list<CM_PARTIAL_RESOURCE_DESCRIPTOR> partials)
    : storage_((kListHeaderBytes + sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR) * (partials.size() + 1)) / sizeof(ULONG))
{
    PCM_RESOURCE_LIST list = get();
    list->Count = 1;
    list->List[0].InterfaceType = PCIBus;
    list->List[0].PartialResourceList.Version = 1;
    list->List[0].PartialResourceList.Revision = 1;
    list->List[0].PartialResourceList.Count = ULONG(partials.size());
    std::memcpy(list->List[0].PartialResourceList.PartialDescriptors, partials.begin(),
                partials.size() * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR));
}

bool SameDescriptor(const CM_PARTIAL_RESOURCE_DESCRIPTOR &a, const CM_PARTIAL_RESOURCE_DESCRIPTOR &b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

void SerialStackTest::SetUp()
{
    KernelTest::SetUp();
    sim::ResetSerialRecords();
    UseBoard(sim::StatusRegisterKind::InterruptStatus);

    hk::PnpHooks hooks;
    hooks.instancePath = [this](PDEVICE_OBJECT device) {
        return device == pdo ? std::string(kInstancePath) : std::string();
    };
    hk::SetPnpHooks(hooks);

    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT bus = hk::LoadBuiltinDriver(kPortBusService, PortBusEntry, &status);
    ASSERT_TRUE(bus && NT_SUCCESS(status));
    ASSERT_EQ(IoCreateDevice(bus, sizeof(PortDeviceScript *), nullptr, FILE_DEVICE_SERIAL_PORT,
                             FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo),
              STATUS_SUCCESS);
    *static_cast<PortDeviceScript **>(pdo->DeviceExtension) = &script;
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;

    PDRIVER_OBJECT serial = hk::LoadBuiltinDriver(sim::kSerialService, sim::SerialDriverEntry, &status);
    ASSERT_TRUE(serial && NT_SUCCESS(status));
    ASSERT_EQ(serial->DriverExtension->AddDevice(serial, pdo), STATUS_SUCCESS);
    fdo = pdo->AttachedDevice;
    ASSERT_NE(fdo, nullptr);
}

void SerialStackTest::TearDown()
{
    if (script.completer.joinable()) script.completer.join();
    if (fdo) Remove();
    if (pdo) IoDeleteDevice(pdo);
    hk::UnloadBuiltinDriver(sim::kSerialService);
    hk::UnloadBuiltinDriver(kPortBusService);
    board.reset();
    KernelTest::TearDown();
}

void SerialStackTest::UseBoard(sim::StatusRegisterKind statusRegister, ULONGLONG memoryWindow)
{
    sim::BoardHardwareConfig config;
    config.ports = 4;
    config.ioBase = kIoBase;
    config.statusRegister = statusRegister;
    config.memoryWindow = memoryWindow;
    board.reset();  // unplugs the one before
    board = std::make_unique<sim::BoardHardware>(config);
    board->Plug();
}

void SerialStackTest::SetPortSetting(const std::string &name, ULONG value)
{
    hk::reg::SetDword(hk::DeviceParametersPath(kInstancePath), name, value);
}

NTSTATUS SerialStackTest::Start(ResourceList &raw, ResourceList &translated)
{
    return hk::test::StartDevice(fdo, raw.get(), translated.get());
}

void SerialStackTest::Remove()
{
    EXPECT_EQ(hk::test::SendPnp(fdo, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    fdo = nullptr;
}

}  // namespace serialtest
