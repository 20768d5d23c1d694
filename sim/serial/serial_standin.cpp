/*
 * The serial port driver stand-in as a WDM function driver: entry, AddDevice,
 * Plug and Play and power dispatch. On start it forwards the request, waits
 * for the port device below to finish it, and then takes over the resources
 * of its own stack location, which is where an upper filter's rewrite lands.
 */
#include "serial_standin_private.h"

#include "lower_faults.h"

extern "C" const char __start_serial_standin_text[];
extern "C" const char __stop_serial_standin_text[];

namespace sim {

const char kSerialService[] = "serial";

namespace serial {
namespace {

struct SerialExtension {
    PDEVICE_OBJECT Pdo;
    PDEVICE_OBJECT LowerDevice;
    // The port's power policy owner unless its device key says
    // "SerialRelinquishPowerPolicy" (nonzero), as the serial driver does:
    // the bus driver of a multiport board keeps the policy then (MSD
    // ddi/wdfdevice nf-wdfdevice-wdfdeviceinitsetpowerpolicyownership,
    // whose example is the serial driver's).
    BOOLEAN OwnsPowerPolicy;
    // Set by IRP_MJ_CREATE, cleared by IRP_MJ_CLOSE: the serial driver is
    // exclusive, so one open at most.
    volatile LONG Open;
    // From IRP_MN_SURPRISE_REMOVAL on: the port is gone; only its open
    // handle's cleanup and close are still answered.
    BOOLEAN SurpriseRemoved;
    // Set at start when the port's device key says "MultiportDevice"
    // (nonzero): one of several ports behind one board's interrupt, which
    // the serial driver never lets go of on its own (the WDM serial
    // sample's PortOnAMultiportCard, taken from the port's settings).
    BOOLEAN PortOnAMultiportCard;
};

// The port settings a serial driver reads from its device key.
const WCHAR *const kPortSettingNames[] = {
    L"PortIndex",
    L"MultiportDevice",
    L"SerialRelinquishPowerPolicy",
    L"Share System Interrupt",
};

// Requests a function driver succeeds before it passes them on, so that a bus
// driver which leaves the status alone does not fail them.
const UCHAR kMinorsSucceededOnTheWayDown[] = {
    IRP_MN_QUERY_STOP_DEVICE, IRP_MN_STOP_DEVICE,       IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE,
    IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_SURPRISE_REMOVAL,
};

SERIAL_CODE SerialExtension *ExtensionOf(PDEVICE_OBJECT fdo)
{
    return static_cast<SerialExtension *>(fdo->DeviceExtension);
}

SERIAL_CODE std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> PartialsOf(const CM_RESOURCE_LIST *list)
{
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> partials;
    if (!list) return partials;
    const CM_PARTIAL_RESOURCE_LIST &first = list->List[0].PartialResourceList;
    partials.assign(first.PartialDescriptors, first.PartialDescriptors + first.Count);
    return partials;
}

// Whether the port's device key held |name| as a nonzero REG_DWORD at start.
SERIAL_CODE BOOLEAN SettingIsSet(const SerialPortRecord &record, const char *name)
{
    for (const auto &setting : record.registry) {
        if (setting.first != name) continue;
        const hk::reg::Value &value = setting.second;
        ULONG word = 0;
        for (size_t i = 0; i < value.data.size() && i < sizeof word; ++i) word |= ULONG(value.data[i]) << (8 * i);
        return value.type == REG_DWORD && word != 0;
    }
    return FALSE;
}

SERIAL_CODE void ReadPortSettings(PDEVICE_OBJECT pdo, SerialPortRecord *record)
{
    HANDLE key = nullptr;
    NTSTATUS status = IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key);
    if (!NT_SUCCESS(status)) return;  // no settings: a single-port default

    // Room for a full record of the longest name and a small value.
    ULONG buffer[64];
    for (const WCHAR *name : kPortSettingNames) {
        UNICODE_STRING valueName;
        RtlInitUnicodeString(&valueName, name);
        ULONG length = 0;
        status = ZwQueryValueKey(key, &valueName, KeyValueFullInformation, buffer, sizeof buffer, &length);
        if (!NT_SUCCESS(status)) continue;
        auto *info = reinterpret_cast<const KEY_VALUE_FULL_INFORMATION *>(buffer);
        const UCHAR *data = reinterpret_cast<const UCHAR *>(buffer) + info->DataOffset;
        hk::reg::Value value{info->Type, std::vector<uint8_t>(data, data + info->DataLength)};
        record->registry.emplace_back(hk::Narrow(name), std::move(value));
    }
    ZwClose(key);
}

SERIAL_CODE NTSTATUS NTAPI OnStartComplete(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

SERIAL_CODE NTSTATUS ForwardAndWait(SerialExtension *extension, PIRP irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, OnStartComplete, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(extension->LowerDevice, irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

SERIAL_CODE NTSTATUS StartDevice(SerialExtension *extension, PIRP irp)
{
    NTSTATUS status = ForwardAndWait(extension, irp);
    SerialPortRecord record;
    record.startStatus = status;
    if (NT_SUCCESS(status)) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        record.started = true;
        record.raw = PartialsOf(stack->Parameters.StartDevice.AllocatedResources);
        record.translated = PartialsOf(stack->Parameters.StartDevice.AllocatedResourcesTranslated);
        ReadPortSettings(extension->Pdo, &record);
        extension->OwnsPowerPolicy = !SettingIsSet(record, "SerialRelinquishPowerPolicy");
        extension->PortOnAMultiportCard = SettingIsSet(record, "MultiportDevice");
        RunPortChecks(&record);
    }
    StoreRecord(extension->Pdo, std::move(record));
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

SERIAL_CODE NTSTATUS PassDown(SerialExtension *extension, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(extension->LowerDevice, irp);
}

SERIAL_CODE NTSTATUS RemoveDevice(PDEVICE_OBJECT fdo, PIRP irp)
{
    SerialExtension *extension = ExtensionOf(fdo);
    PDEVICE_OBJECT lower = extension->LowerDevice;
    MarkNotStarted(extension->Pdo);
    irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = PassDown(extension, irp);
    IoDetachDevice(lower);
    IoDeleteDevice(fdo);
    return status;
}

SERIAL_CODE NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT fdo, PIRP irp)
{
    SerialExtension *extension = ExtensionOf(fdo);
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    // Told to refuse this request: completed here, never passed down.
    if (LowerDriverFails(kSerialService, fdo, irp)) {
        irp->IoStatus.Status = kLowerDriverFailure;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return kLowerDriverFailure;
    }
    if (minor == IRP_MN_START_DEVICE) return StartDevice(extension, irp);
    if (minor == IRP_MN_REMOVE_DEVICE) return RemoveDevice(fdo, irp);
    // A port on a multiport card is never stopped, open or not: its
    // interrupt is shared with its sibling ports (Microsoft's WDM serial
    // sample fails the query with STATUS_NOT_SUPPORTED, before it looks at
    // the open state). So such a board can be neither stopped nor moved by
    // a rebalance while one of its ports is started.
    if (minor == IRP_MN_QUERY_STOP_DEVICE && extension->PortOnAMultiportCard) {
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_NOT_SUPPORTED;
    }
    // An open port can be neither removed nor stopped in order: the serial
    // driver refuses both queries while its port is open (Microsoft's WDM
    // serial sample; the PnP manager then cancels and reports the veto).
    if ((minor == IRP_MN_QUERY_REMOVE_DEVICE || minor == IRP_MN_QUERY_STOP_DEVICE) && extension->Open) {
        irp->IoStatus.Status = STATUS_DEVICE_BUSY;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_DEVICE_BUSY;
    }
    if (minor == IRP_MN_SURPRISE_REMOVAL) extension->SurpriseRemoved = TRUE;
    // A port whose UART stopped answering says so in its state; the bus
    // driver below adds what it knows.
    if (minor == IRP_MN_QUERY_PNP_DEVICE_STATE && ReportsFailure(extension->Pdo)) {
        irp->IoStatus.Information |= PNP_DEVICE_FAILED;
        irp->IoStatus.Status = STATUS_SUCCESS;
    }
    if (minor == IRP_MN_STOP_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL) MarkNotStarted(extension->Pdo);
    for (UCHAR succeeded : kMinorsSucceededOnTheWayDown)
        if (minor == succeeded) irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(extension, irp);
}

// ------------------------------------------------------------------ power
// As the port's policy owner it turns each system request into a device
// request for its port: D3 for any sleeping state, D0 for working. The
// system request goes down first; on its way back the device request is
// asked for, and the system request completes once that is done (MSD
// kernel/handling-a-system-set-power-irp-in-a-device-power-policy-owner.md).
SERIAL_CODE VOID NTAPI OnDevicePowerDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK)
{
    auto *systemIrp = static_cast<PIRP>(context);
    PoStartNextPowerIrp(systemIrp);
    IoCompleteRequest(systemIrp, IO_NO_INCREMENT);
}

SERIAL_CODE NTSTATUS NTAPI OnSystemPowerDone(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto *extension = static_cast<SerialExtension *>(context);
    const SYSTEM_POWER_STATE system = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.SystemState;
    POWER_STATE device;
    device.DeviceState = system == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
    if (NT_SUCCESS(irp->IoStatus.Status) &&
        NT_SUCCESS(PoRequestPowerIrp(extension->Pdo, IRP_MN_SET_POWER, device, OnDevicePowerDone, irp, nullptr)))
        return STATUS_MORE_PROCESSING_REQUIRED;
    PoStartNextPowerIrp(irp);
    return STATUS_CONTINUE_COMPLETION;
}

// A device request: the port's new state is recorded before it powers down
// and once the drivers below have powered it up.
SERIAL_CODE NTSTATUS NTAPI OnDevicePoweredUp(PDEVICE_OBJECT fdo, PIRP irp, PVOID)
{
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    if (NT_SUCCESS(irp->IoStatus.Status))
        PoSetPowerState(fdo, DevicePowerState, IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State);
    PoStartNextPowerIrp(irp);
    return STATUS_CONTINUE_COMPLETION;
}

SERIAL_CODE NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT fdo, PIRP irp)
{
    SerialExtension *extension = ExtensionOf(fdo);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == SystemPowerState &&
        extension->OwnsPowerPolicy) {
        IoMarkIrpPending(irp);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, OnSystemPowerDone, extension, TRUE, TRUE, TRUE);
        PoCallDriver(extension->LowerDevice, irp);
        return STATUS_PENDING;
    }
    if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState) {
        if (stack->Parameters.Power.State.DeviceState == PowerDeviceD0) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, OnDevicePoweredUp, nullptr, TRUE, TRUE, TRUE);
            return PoCallDriver(extension->LowerDevice, irp);
        }
        PoSetPowerState(fdo, DevicePowerState, stack->Parameters.Power.State);
    }
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(extension->LowerDevice, irp);
}

SERIAL_CODE NTSTATUS NTAPI DispatchPassThrough(PDEVICE_OBJECT fdo, PIRP irp)
{
    return PassDown(ExtensionOf(fdo), irp);
}

SERIAL_CODE NTSTATUS Complete(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Handles end at the function driver: the port's bus driver below never
// sees them. One open at a time; none once the port is gone.
SERIAL_CODE NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT fdo, PIRP irp)
{
    SerialExtension *extension = ExtensionOf(fdo);
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_CREATE:
        if (extension->SurpriseRemoved) return Complete(irp, STATUS_DELETE_PENDING);
        if (InterlockedCompareExchange(&extension->Open, 1, 0) != 0) return Complete(irp, STATUS_ACCESS_DENIED);
        return Complete(irp, STATUS_SUCCESS);
    case IRP_MJ_CLOSE:
        InterlockedExchange(&extension->Open, 0);
        return Complete(irp, STATUS_SUCCESS);
    default:  // IRP_MJ_CLEANUP: nothing is queued on the handle
        return Complete(irp, STATUS_SUCCESS);
    }
}

// Serial requests go on down while the port is there; once it is gone they
// fail here.
SERIAL_CODE NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT fdo, PIRP irp)
{
    SerialExtension *extension = ExtensionOf(fdo);
    if (extension->SurpriseRemoved) return Complete(irp, STATUS_DELETE_PENDING);
    return PassDown(extension, irp);
}

SERIAL_CODE NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(SerialExtension), nullptr, FILE_DEVICE_SERIAL_PORT,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;

    SerialExtension *extension = ExtensionOf(fdo);
    extension->Pdo = pdo;
    extension->OwnsPowerPolicy = TRUE;
    extension->LowerDevice = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (!extension->LowerDevice) {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    // Serial drivers take reads and writes as buffered I/O, and nothing on the
    // stand-in's power path needs to run above PASSIVE_LEVEL.
    fdo->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    BeginRecord(pdo);
    return STATUS_SUCCESS;
}

SERIAL_CODE VOID NTAPI Unload(PDRIVER_OBJECT) {}

}  // namespace
}  // namespace serial

SERIAL_CODE NTSTATUS NTAPI SerialDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    hk::RegisterImageRange(kSerialService, __start_serial_standin_text, __stop_serial_standin_text);
    // The system serial driver is Microsoft's, not one verified with ours.
    hk::ExcludeFromVerification(kSerialService);
    for (PDRIVER_DISPATCH &dispatch : driver->MajorFunction) dispatch = serial::DispatchPassThrough;
    driver->MajorFunction[IRP_MJ_CREATE] = serial::DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = serial::DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = serial::DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = serial::DispatchDeviceControl;
    driver->MajorFunction[IRP_MJ_PNP] = serial::DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = serial::DispatchPower;
    driver->DriverExtension->AddDevice = serial::AddDevice;
    driver->DriverUnload = serial::Unload;
    return STATUS_SUCCESS;
}

bool SerialPortOpen(PDEVICE_OBJECT pdo)
{
    PDRIVER_OBJECT driver = hk::DriverOf(kSerialService);
    for (PDEVICE_OBJECT device = pdo ? pdo->AttachedDevice : nullptr; driver && device; device = device->AttachedDevice)
        if (device->DriverObject == driver) return serial::ExtensionOf(device)->Open != 0;
    return false;
}

}  // namespace sim
