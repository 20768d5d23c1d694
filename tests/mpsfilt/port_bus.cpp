#include "port_bus.h"

#include "port_bus_interface.h"

#include <hk/host.h>

#include <chrono>
#include <cstring>

// The driver's code lives in a section of its own, so that the host kernel
// counts its pool, devices and calls as an image's, not the test's.
#define PORT_BUS_CODE __attribute__((section("mpsfilt_port_bus_text")))

extern "C" const char __start_mpsfilt_port_bus_text[];
extern "C" const char __stop_mpsfilt_port_bus_text[];

namespace filtertest {

const char kPortBusService[] = "testportbus";

namespace {

constexpr ULONG kListTag = 0x74726F50;   // "Port"

// The port device has no device below it; the device above the filter does.
struct BusExtension {
    PortDevice *port;
    PDEVICE_OBJECT lower;
};

PORT_BUS_CODE BusExtension *ExtensionOf(PDEVICE_OBJECT device)
{
    return static_cast<BusExtension *>(device->DeviceExtension);
}
PORT_BUS_CODE PortDevice *PortOf(PDEVICE_OBJECT device) { return ExtensionOf(device)->port; }

PORT_BUS_CODE NTSTATUS Complete(PIRP irp)
{
    const NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// A pool copy of the list, allocated here so that it is this driver's.
PORT_BUS_CODE PCM_RESOURCE_LIST ListInPool(const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> &partials)
{
    const ResourceList list(partials);
    void *block = ExAllocatePoolWithTag(PagedPool, list.size(), kListTag);
    if (block != nullptr) std::memcpy(block, list.bytes(), list.size());
    return static_cast<PCM_RESOURCE_LIST>(block);
}

// ---------------------------------------------------- the bus interface
PORT_BUS_CODE VOID NTAPI ReferenceInterface(PVOID context)
{
    auto *script = static_cast<PortScript *>(context);
    ++script->referenceCalls;
    ++script->references;
}

PORT_BUS_CODE VOID NTAPI DereferenceInterface(PVOID context)
{
    auto *script = static_cast<PortScript *>(context);
    ++script->dereferences;
    --script->references;
}

PORT_BUS_CODE NTSTATUS NTAPI GetResourceLists(PVOID context, PCM_RESOURCE_LIST *raw, PCM_RESOURCE_LIST *translated)
{
    auto *script = static_cast<PortScript *>(context);
    ++script->listCalls;
    script->referenceHeldDuringListCall = script->references > 0;
    *raw = *translated = nullptr;
    if (!NT_SUCCESS(script->listsStatus)) return script->listsStatus;
    *raw = ListInPool(script->raw);
    *translated = ListInPool(script->translated);
    if (*raw == nullptr || *translated == nullptr) {
        if (*raw != nullptr) ExFreePool(*raw);
        if (*translated != nullptr) ExFreePool(*translated);
        *raw = *translated = nullptr;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    script->listsHandedOut = {*raw, *translated};
    return STATUS_SUCCESS;
}

// The outcome is known only when the request completes: a driver above that
// did not wait for it would see the status preset by the sender.
PORT_BUS_CODE NTSTATUS CompleteAsScripted(PortDevice *port, PIRP irp, NTSTATUS outcome)
{
    irp->IoStatus.Status = outcome;
    switch (port->script.completion) {
    case Completion::AtOnce: return Complete(irp);
    case Completion::AtDispatch: {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        KeLowerIrql(old);
        return outcome;
    }
    case Completion::Later: break;
    }
    IoMarkIrpPending(irp);
    if (port->completer.joinable()) port->completer.join();
    port->completer = std::thread([irp] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    });
    return STATUS_PENDING;
}

PORT_BUS_CODE void AnswerQueryInterface(PortScript *script, PIRP irp, PIO_STACK_LOCATION stack)
{
    auto &query = stack->Parameters.QueryInterface;
    if (std::memcmp(query.InterfaceType, &GUID_PORT_BUS_INTERFACE, sizeof(GUID)) != 0) return;
    script->querySize = query.Size;
    script->queryVersion = query.Version;
    script->queryDataNull = query.InterfaceSpecificData == nullptr;
    script->queryPresetStatus = irp->IoStatus.Status;
    const auto *bytes = reinterpret_cast<const unsigned char *>(query.Interface);
    script->queryRecordZeroed = true;
    for (USHORT i = 0; i < query.Size; ++i) script->queryRecordZeroed &= bytes[i] == 0;

    switch (script->answer) {
    case InterfaceAnswer::Ignore: return;
    case InterfaceAnswer::Refuse: irp->IoStatus.Status = script->refuseStatus; return;
    case InterfaceAnswer::Unfilled: irp->IoStatus.Status = STATUS_SUCCESS; return;
    case InterfaceAnswer::Interface:
    case InterfaceAnswer::NoLists: break;
    }
    auto *record = reinterpret_cast<PortBusInterface *>(query.Interface);
    record->Size = sizeof(PortBusInterface);
    record->Version = PORT_BUS_INTERFACE_VERSION;
    record->Context = script;
    record->InterfaceReference = ReferenceInterface;
    record->InterfaceDereference = DereferenceInterface;
    record->GetResourceLists = script->answer == InterfaceAnswer::NoLists ? nullptr : GetResourceLists;
    record->SetPortOptions = nullptr;
    ++script->answers;
    ++script->references;
    irp->IoStatus.Status = STATUS_SUCCESS;
}

// ------------------------------------------------------------- requests
PORT_BUS_CODE NTSTATUS StartPortDevice(PortDevice *port, PIRP irp, PIO_STACK_LOCATION stack)
{
    PortScript *script = &port->script;
    ++script->starts;
    script->startRaw = hk::test::PartialDescriptorsOf(stack->Parameters.StartDevice.AllocatedResources);
    script->startTranslated = hk::test::PartialDescriptorsOf(stack->Parameters.StartDevice.AllocatedResourcesTranslated);
    return CompleteAsScripted(port, irp, script->startStatus);
}

PORT_BUS_CODE void SeeRequirements(PortScript *script, PIRP irp, PIO_STACK_LOCATION stack)
{
    script->filterInformation = irp->IoStatus.Information;
    script->filterParameter = stack->Parameters.FilterResourceRequirements.IoResourceRequirementList;
    script->filterList.clear();
    auto *list = reinterpret_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(irp->IoStatus.Information);
    if (list == nullptr) return;
    const auto *bytes = reinterpret_cast<const unsigned char *>(list);
    script->filterList.assign(bytes, bytes + list->ListSize);
    if (script->requirements == RequirementsAnswer::FreeTheList) {
        ExFreePool(list);
        irp->IoStatus.Information = 0;
        irp->IoStatus.Status = STATUS_SUCCESS;
    }
}

// The device above the filter: notes the request and passes it on, and
// leaves with the stack's removal.
PORT_BUS_CODE NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const UCHAR major = stack->MajorFunction, minor = stack->MinorFunction;
    PortOf(device)->script.seenAbove.emplace_back(major, minor);
    PDEVICE_OBJECT lower = ExtensionOf(device)->lower;
    if (major == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(lower, irp);
    }
    IoSkipCurrentIrpStackLocation(irp);
    const NTSTATUS status = IoCallDriver(lower, irp);
    if (major == IRP_MJ_PNP && minor == IRP_MN_REMOVE_DEVICE) {
        IoDetachDevice(lower);
        IoDeleteDevice(device);
    }
    return status;
}

PORT_BUS_CODE NTSTATUS NTAPI PortDevicePnp(PDEVICE_OBJECT pdo, PIRP irp)
{
    if (ExtensionOf(pdo)->lower != nullptr) return PassDown(pdo, irp);
    PortScript *script = &PortOf(pdo)->script;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    script->seen.emplace_back(stack->MajorFunction, stack->MinorFunction);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: return StartPortDevice(PortOf(pdo), irp, stack);
    case IRP_MN_QUERY_INTERFACE:
        AnswerQueryInterface(script, irp, stack);
        return CompleteAsScripted(PortOf(pdo), irp, irp->IoStatus.Status);
    case IRP_MN_FILTER_RESOURCE_REQUIREMENTS: SeeRequirements(script, irp, stack); break;
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE: irp->IoStatus.Status = STATUS_SUCCESS; break;
    default: break;
    }
    return Complete(irp);
}

PORT_BUS_CODE NTSTATUS NTAPI PortDevicePower(PDEVICE_OBJECT pdo, PIRP irp)
{
    if (ExtensionOf(pdo)->lower != nullptr) return PassDown(pdo, irp);
    PoStartNextPowerIrp(irp);
    PortOf(pdo)->script.seen.emplace_back(IRP_MJ_POWER, IoGetCurrentIrpStackLocation(irp)->MinorFunction);
    irp->IoStatus.Status = STATUS_SUCCESS;
    return Complete(irp);
}

PORT_BUS_CODE NTSTATUS NTAPI PortDeviceOther(PDEVICE_OBJECT pdo, PIRP irp)
{
    if (ExtensionOf(pdo)->lower != nullptr) return PassDown(pdo, irp);
    PortDevice *port = PortOf(pdo);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    port->script.seen.emplace_back(stack->MajorFunction, stack->MinorFunction);
    if (port->script.holdRequests && stack->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        port->holding = true;
        KeWaitForSingleObject(&port->release, Executive, KernelMode, FALSE, nullptr);
        port->holding = false;
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    return Complete(irp);
}

PORT_BUS_CODE PDEVICE_OBJECT NewDevice(PDRIVER_OBJECT driver, PortDevice *port, PDEVICE_OBJECT below)
{
    PDEVICE_OBJECT device = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(driver, sizeof(BusExtension), nullptr, FILE_DEVICE_UNKNOWN,
                                   FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &device)))
        return nullptr;
    *ExtensionOf(device) = BusExtension{port, nullptr};
    device->Flags |= DO_POWER_PAGABLE;
    if (below == nullptr) {
        device->Flags |= DO_BUS_ENUMERATED_DEVICE;
    } else {
        ExtensionOf(device)->lower = IoAttachDeviceToDeviceStack(device, below);
        if (ExtensionOf(device)->lower == nullptr) {
            IoDeleteDevice(device);
            return nullptr;
        }
    }
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
}


}  // namespace

PORT_BUS_CODE NTSTATUS NTAPI PortBusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    hk::RegisterImageRange(kPortBusService, __start_mpsfilt_port_bus_text, __stop_mpsfilt_port_bus_text);
    for (PDRIVER_DISPATCH &dispatch : driver->MajorFunction) dispatch = PortDeviceOther;
    driver->MajorFunction[IRP_MJ_PNP] = PortDevicePnp;
    driver->MajorFunction[IRP_MJ_POWER] = PortDevicePower;
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT CreatePortDevice(PortDevice *port)
{
    KeInitializeEvent(&port->release, NotificationEvent, FALSE);
    PDRIVER_OBJECT driver = hk::DriverOf(kPortBusService);
    return driver == nullptr ? nullptr : NewDevice(driver, port, nullptr);
}

PDEVICE_OBJECT AttachDeviceAbove(PortDevice *port, PDEVICE_OBJECT pdo)
{
    PDRIVER_OBJECT driver = hk::DriverOf(kPortBusService);
    return driver == nullptr ? nullptr : NewDevice(driver, port, pdo);
}

void ReleaseHeldRequest(PortDevice *port) { KeSetEvent(&port->release, IO_NO_INCREMENT, FALSE); }

}  // namespace filtertest
