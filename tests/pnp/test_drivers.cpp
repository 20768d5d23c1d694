#include "test_drivers.h"

#include "lower_completion.h"
#include "pnp_request.h"
#include "support/resource_lists.h"

#include <hk/host.h>

#include <cstring>

namespace pnptest {

namespace {

const ULONG kTag = 0x74736554;  // "Test"

enum class Kind : ULONG { Stack = 1, Bus, Child };

struct Extension {
    Kind kind;
    PDEVICE_OBJECT lower;      // stack and bus devices
    PDEVICE_OBJECT pdo;        // stack and bus devices
    char service[24];
    unsigned index;            // a child's number
};

struct BusState {
    unsigned wanted = 0;
    std::string deviceId = "TESTBUS\\CHILD";
    std::function<std::string(unsigned)> instanceId = [](unsigned index) { return std::to_string(index); };
    bool unique = true;
    std::u16string firstHardwareIds;
    std::function<std::vector<uint8_t>(unsigned)> requirements;
    std::vector<PDEVICE_OBJECT> children;  // null once deleted
    std::vector<bool> reported;
};

BusState &Bus()
{
    static BusState bus;
    return bus;
}

std::map<std::string, Behaviour> &Behaviours()
{
    static std::map<std::string, Behaviour> behaviours;
    return behaviours;
}

// The service each driver object was loaded for, from its DriverEntry.
std::map<PDRIVER_OBJECT, std::string> &ServiceNames()
{
    static std::map<PDRIVER_OBJECT, std::string> names;
    return names;
}

Extension *ExtensionOf(PDEVICE_OBJECT device)
{
    return static_cast<Extension *>(device->DeviceExtension);
}

std::string ServiceFromPath(PUNICODE_STRING path)
{
    const std::string full = hk::Narrow(path->Buffer, path->Length / sizeof(WCHAR));
    return full.substr(full.rfind('\\') + 1);
}

void Note(const std::string &who, const std::string &what)
{
    Events().push_back(who + " " + what);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PassDown(Extension *ext, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(BehaviourOf(ext->service).forwardToPdo ? ext->pdo : ext->lower, irp);
}

PIO_RESOURCE_REQUIREMENTS_LIST OwnRequirements()
{
    const size_t size = sizeof(IO_RESOURCE_REQUIREMENTS_LIST);
    auto *list = static_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(ExAllocatePoolWithTag(PagedPool, size, kTag));
    std::memset(list, 0, size);
    list->ListSize = size;
    list->AlternativeLists = 1;
    list->List[0].Version = list->List[0].Revision = 1;
    list->List[0].Count = 1;
    IO_RESOURCE_DESCRIPTOR &d = list->List[0].Descriptors[0];
    d.Type = CmResourceTypePort;
    d.ShareDisposition = CmResourceShareDeviceExclusive;
    d.Flags = CM_RESOURCE_PORT_IO;
    d.u.Port.Length = 8;
    d.u.Port.MinimumAddress.QuadPart = 0x3F8;
    d.u.Port.MaximumAddress.QuadPart = 0x3FF;
    return list;
}

PWSTR PoolText(const std::string &text, bool multi)
{
    const std::u16string wide = hk::Wide(text);
    const size_t bytes = (wide.size() + (multi ? 2 : 1)) * sizeof(WCHAR);
    auto *buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, kTag));
    std::memset(buffer, 0, bytes);
    std::memcpy(buffer, wide.data(), wide.size() * sizeof(WCHAR));
    return buffer;
}

// ---------------------------------------------------------- stack devices
NTSTATUS StackPnp(Extension *ext, PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    Behaviour &b = BehaviourOf(ext->service);
    const UCHAR minor = stack->MinorFunction;
    std::string what = sim::PnpMinorName(minor);
    if (minor == IRP_MN_QUERY_DEVICE_RELATIONS && stack->Parameters.QueryDeviceRelations.Type == BusRelations)
        what += " BusRelations";
    Note(ext->service, what);

    switch (minor) {
    case IRP_MN_START_DEVICE:
        ++b.starts;
        b.raw = hk::test::PartialDescriptorsOf(stack->Parameters.StartDevice.AllocatedResources);
        b.translated = hk::test::PartialDescriptorsOf(stack->Parameters.StartDevice.AllocatedResourcesTranslated);
        b.startListsNull = !stack->Parameters.StartDevice.AllocatedResources &&
                           !stack->Parameters.StartDevice.AllocatedResourcesTranslated;
        if (b.failStartFrom && b.starts >= b.failStartFrom) return Complete(irp, STATUS_DEVICE_NOT_READY);
        if (b.loseStart) return STATUS_SUCCESS;
        break;
    case IRP_MN_FILTER_RESOURCE_REQUIREMENTS: {
        b.filterInformation = irp->IoStatus.Information;
        b.filterParameter = stack->Parameters.FilterResourceRequirements.IoResourceRequirementList;
        auto *offered = reinterpret_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(irp->IoStatus.Information);
        switch (b.filter) {
        case FilterAnswer::PassDown: break;
        case FilterAnswer::ReplaceWithNone: irp->IoStatus.Information = 0; return Complete(irp, STATUS_SUCCESS);
        case FilterAnswer::ReplaceFreeOld:
            if (offered) ExFreePool(offered);
            [[fallthrough]];
        case FilterAnswer::ReplaceKeepOld:
            irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(OwnRequirements());
            return Complete(irp, STATUS_SUCCESS);
        }
        break;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
        if (b.vetoQueryStop) return Complete(irp, STATUS_UNSUCCESSFUL);
        break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
        if (b.vetoQueryRemove) return Complete(irp, STATUS_UNSUCCESSFUL);
        break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (ext->kind == Kind::Bus && stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
            BusState &bus = Bus();
            while (bus.children.size() < bus.wanted) {
                PDEVICE_OBJECT child = nullptr;
                IoCreateDevice(device->DriverObject, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN,
                               FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &child);
                Extension *childExt = ExtensionOf(child);
                childExt->kind = Kind::Child;
                childExt->index = unsigned(bus.children.size());
                std::strcpy(childExt->service, "tbus-child");
                child->Flags &= ~DO_DEVICE_INITIALIZING;
                bus.children.push_back(child);
                bus.reported.push_back(true);
            }
            ULONG count = 0;
            for (size_t i = 0; i < bus.children.size(); ++i) count += bus.reported[i] && bus.children[i];
            const size_t size = sizeof(DEVICE_RELATIONS) + (count ? count - 1 : 0) * sizeof(PDEVICE_OBJECT);
            auto *relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, size, kTag));
            relations->Count = 0;
            for (size_t i = 0; i < bus.children.size(); ++i)
                if (bus.reported[i] && bus.children[i]) {
                    ObReferenceObject(bus.children[i]);
                    relations->Objects[relations->Count++] = bus.children[i];
                }
            irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
            irp->IoStatus.Status = STATUS_SUCCESS;
        }
        break;
    case IRP_MN_REMOVE_DEVICE: {
        // By default off the stack before the removal goes down, so that no
        // driver below deletes its device with this one still on top of it.
        PDEVICE_OBJECT lower = ext->lower;
        const bool detachAfter = b.detachAfterRemoval;
        if (!detachAfter) IoDetachDevice(lower);
        const NTSTATUS status = PassDown(ext, irp);
        if (detachAfter) IoDetachDevice(lower);
        if (ext->kind == Kind::Bus)
            for (PDEVICE_OBJECT &child : Bus().children)
                if (child) {
                    IoDeleteDevice(child);
                    child = nullptr;
                }
        IoDeleteDevice(device);
        return status;
    }
    default: break;
    }
    return PassDown(ext, irp);
}

// ------------------------------------------------------------ child PDOs
NTSTATUS ChildPnp(Extension *ext, PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const std::string who = "child" + std::to_string(ext->index);
    Note(who, sim::PnpMinorName(stack->MinorFunction));
    NTSTATUS status = irp->IoStatus.Status;
    switch (stack->MinorFunction) {
    case IRP_MN_QUERY_ID: {
        const BusState &bus = Bus();
        const std::string instance = bus.instanceId(ext->index);
        const char *answers[] = {bus.deviceId.c_str(), "TESTBUS\\CHILD_HW", nullptr, instance.c_str()};
        const BUS_QUERY_ID_TYPE type = stack->Parameters.QueryId.IdType;
        if (type == BusQueryHardwareIDs && ext->index == 0 && !bus.firstHardwareIds.empty()) {
            const size_t bytes = bus.firstHardwareIds.size() * sizeof(WCHAR);
            void *multi = ExAllocatePoolWithTag(PagedPool, bytes, kTag);
            std::memcpy(multi, bus.firstHardwareIds.data(), bytes);
            irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(multi);
            status = STATUS_SUCCESS;
        } else if (type <= BusQueryInstanceID && answers[type]) {
            irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(PoolText(answers[type], type == BusQueryHardwareIDs));
            status = STATUS_SUCCESS;
        }
        break;
    }
    case IRP_MN_QUERY_CAPABILITIES:
        stack->Parameters.DeviceCapabilities.Capabilities->UniqueID = Bus().unique;
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_DEVICE_TEXT:
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(
            PoolText(stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription
                         ? "Test child"
                         : "slot " + std::to_string(ext->index),
                     false));
        status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_RESOURCE_REQUIREMENTS:
        if (Bus().requirements) {
            const std::vector<uint8_t> bytes = Bus().requirements(ext->index);
            void *list = ExAllocatePoolWithTag(PagedPool, bytes.size(), kTag);
            std::memcpy(list, bytes.data(), bytes.size());
            irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(list);
            status = STATUS_SUCCESS;
        }
        break;
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL: status = STATUS_SUCCESS; break;
    case IRP_MN_REMOVE_DEVICE: {
        status = STATUS_SUCCESS;
        BusState &bus = Bus();
        if (!bus.reported[ext->index]) {  // gone from the bus: the PDO goes too
            Complete(irp, status);
            bus.children[ext->index] = nullptr;
            IoDeleteDevice(device);
            return status;
        }
        break;
    }
    default: break;
    }
    return sim::CompleteLowerRequest(irp, status);
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp)
{
    Extension *ext = ExtensionOf(device);
    return ext->kind == Kind::Child ? ChildPnp(ext, device, irp) : StackPnp(ext, device, irp);
}

// ------------------------------------------------------------------ power
// The policy owner's device request is done: the system request it was
// asked for completes now.
VOID NTAPI DevicePowerDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK)
{
    auto *systemIrp = static_cast<PIRP>(context);
    PoStartNextPowerIrp(systemIrp);
    IoCompleteRequest(systemIrp, IO_NO_INCREMENT);
}

NTSTATUS NTAPI SystemPowerDone(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto *ext = static_cast<Extension *>(context);
    const bool working = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.SystemState == PowerSystemWorking;
    POWER_STATE device;
    device.DeviceState = working ? PowerDeviceD0 : PowerDeviceD3;
    if (NT_SUCCESS(irp->IoStatus.Status) &&
        NT_SUCCESS(PoRequestPowerIrp(ext->pdo, IRP_MN_SET_POWER, device, DevicePowerDone, irp, nullptr)))
        return STATUS_MORE_PROCESSING_REQUIRED;
    PoStartNextPowerIrp(irp);
    return STATUS_CONTINUE_COMPLETION;
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp)
{
    Extension *ext = ExtensionOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const bool system = stack->Parameters.Power.Type == SystemPowerState;
    std::string what = sim::PowerMinorName(stack->MinorFunction);
    if (system)
        what += stack->Parameters.Power.State.SystemState == PowerSystemWorking ? " S0" : " S3";
    else
        what += stack->Parameters.Power.State.DeviceState == PowerDeviceD0 ? " D0" : " D3";
    if (ext->kind == Kind::Child) {
        PoStartNextPowerIrp(irp);
        Note("child" + std::to_string(ext->index), what);
        if (stack->MinorFunction == IRP_MN_SET_POWER && !system)
            PoSetPowerState(device, DevicePowerState, stack->Parameters.Power.State);
        return Complete(irp, STATUS_SUCCESS);
    }
    Note(ext->service, what);
    const Behaviour &b = BehaviourOf(ext->service);
    if (b.ownsPowerPolicy && system && stack->MinorFunction == IRP_MN_SET_POWER) {
        IoMarkIrpPending(irp);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, SystemPowerDone, ext, TRUE, TRUE, TRUE);
        PoCallDriver(ext->lower, irp);
        return STATUS_PENDING;
    }
    if (!b.forgetStartNextPower) PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return b.powerWithIoCallDriver ? IoCallDriver(ext->lower, irp) : PoCallDriver(ext->lower, irp);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo, Kind kind)
{
    const std::string service = ServiceNames()[driver];
    Note(service, "AddDevice");
    const NTSTATUS planned = BehaviourOf(service).addDevice;
    if (!NT_SUCCESS(planned)) return planned;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    Extension *ext = ExtensionOf(device);
    ext->kind = kind;
    std::strncpy(ext->service, service.c_str(), sizeof(ext->service) - 1);
    ext->lower = IoAttachDeviceToDeviceStack(device, pdo);
    ext->pdo = pdo;
    if (!ext->lower) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    if (BehaviourOf(service).readPropertyOfOwnDevice) {
        ULONG needed = 0;
        IoGetDeviceProperty(device, DevicePropertyHardwareID, 0, nullptr, &needed);
    }
    // Every device of a stack carries the same power flags (XP and 2000).
    device->Flags |= ext->lower->Flags & DO_POWER_PAGABLE;
    if (!BehaviourOf(service).leaveInitializing) device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI StackAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    return AddDevice(driver, pdo, Kind::Stack);
}

NTSTATUS NTAPI BusAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    return AddDevice(driver, pdo, Kind::Bus);
}

VOID NTAPI Unload(PDRIVER_OBJECT driver)
{
    Note(ServiceNames()[driver], "Unload");
}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath, PDRIVER_ADD_DEVICE addDevice)
{
    ServiceNames()[driver] = ServiceFromPath(registryPath);
    Note(ServiceNames()[driver], "DriverEntry");
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->DriverExtension->AddDevice = addDevice;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}

}  // namespace

std::vector<std::string> &Events()
{
    static std::vector<std::string> events;
    return events;
}

Behaviour &BehaviourOf(const std::string &service)
{
    return Behaviours()[service];
}

void SetChildCount(unsigned children)
{
    Bus().wanted = children;
}

void SetChildRequirements(std::function<std::vector<uint8_t>(unsigned index)> requirements)
{
    Bus().requirements = std::move(requirements);
}

void DropChild(unsigned index)
{
    Bus().reported.at(index) = false;
}

void SetChildIds(const std::string &deviceId, std::function<std::string(unsigned index)> instanceId)
{
    Bus().deviceId = deviceId;
    Bus().instanceId = std::move(instanceId);
}

void SetChildrenUnique(bool unique)
{
    Bus().unique = unique;
}

void SetChildHardwareIds(const std::u16string &multi)
{
    Bus().firstHardwareIds = multi;
}

size_t LiveChildren()
{
    size_t live = 0;
    for (PDEVICE_OBJECT child : Bus().children) live += child != nullptr;
    return live;
}

void Reset()
{
    Events().clear();
    Behaviours().clear();
    Bus() = BusState();
    ServiceNames().clear();
}

NTSTATUS NTAPI StackDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    return Entry(driver, registryPath, StackAddDevice);
}

NTSTATUS NTAPI BusDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    return Entry(driver, registryPath, BusAddDevice);
}

}  // namespace pnptest
