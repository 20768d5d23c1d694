#include "lower_filter.h"

#include "lower_faults.h"

#include <mutex>
#include <set>

namespace sim {

const char kLowerFilterService[] = "hklower";

namespace {

struct FilterExtension {
    PDEVICE_OBJECT lower;
};

// The requests on their way down through a filter device right now.
struct Passing {
    std::mutex lock;
    std::multiset<PIRP> irps;
};

Passing &InFlight()
{
    static auto *passing = new Passing;
    return *passing;
}

PDEVICE_OBJECT LowerOf(PDEVICE_OBJECT device) { return static_cast<FilterExtension *>(device->DeviceExtension)->lower; }

NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp, bool power)
{
    PDEVICE_OBJECT lower = LowerOf(device);
    {
        std::lock_guard<std::mutex> hold(InFlight().lock);
        InFlight().irps.insert(irp);
    }
    if (power) PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    const NTSTATUS status = power ? PoCallDriver(lower, irp) : IoCallDriver(lower, irp);
    std::lock_guard<std::mutex> hold(InFlight().lock);
    InFlight().irps.erase(InFlight().irps.find(irp));
    return status;
}

NTSTATUS NTAPI DispatchAny(PDEVICE_OBJECT device, PIRP irp)
{
    return PassDown(device, irp, false);
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT device, PIRP irp)
{
    return PassDown(device, irp, true);
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT device, PIRP irp)
{
    // Told to refuse this request: completed here, never passed down.
    if (LowerDriverFails(kLowerFilterService, device, irp)) {
        irp->IoStatus.Status = kLowerDriverFailure;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return kLowerDriverFailure;
    }
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_REMOVE_DEVICE) return PassDown(device, irp, false);
    // Off the stack once the removal has gone down, then gone.
    PDEVICE_OBJECT lower = LowerOf(device);
    const NTSTATUS status = PassDown(device, irp, false);
    IoDetachDevice(lower);
    IoDeleteDevice(device);
    return status;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status =
        IoCreateDevice(driver, sizeof(FilterExtension), nullptr, pdo->DeviceType, pdo->Characteristics, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (!lower) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    static_cast<FilterExtension *>(device->DeviceExtension)->lower = lower;
    // A filter takes over the I/O and power flags of the device below it.
    device->Flags |= lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS NTAPI LowerFilterDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    for (PDRIVER_DISPATCH &dispatch : driver->MajorFunction) dispatch = DispatchAny;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->DriverExtension->AddDevice = AddDevice;
    return STATUS_SUCCESS;
}

bool WentAroundLowerFilter(PDEVICE_OBJECT pdo, PIRP irp)
{
    PDEVICE_OBJECT above = pdo->AttachedDevice;
    PDRIVER_OBJECT filter = hk::DriverOf(kLowerFilterService);
    if (!above || !filter || above->DriverObject != filter) return false;
    std::lock_guard<std::mutex> hold(InFlight().lock);
    return InFlight().irps.count(irp) == 0;
}

bool RefusedAroundLowerFilter(PDEVICE_OBJECT pdo, PIRP irp)
{
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const bool removal = stack->MajorFunction == IRP_MJ_PNP && (stack->MinorFunction == IRP_MN_REMOVE_DEVICE ||
                                                                stack->MinorFunction == IRP_MN_SURPRISE_REMOVAL);
    return !removal && WentAroundLowerFilter(pdo, irp);
}

}  // namespace sim
