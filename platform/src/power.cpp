/*
 * The power manager's services to drivers: PoCallDriver, PoStartNextPowerIrp,
 * PoSetPowerState and PoRequestPowerIrp, run as Windows 2000 and XP run them
 * (the drivers require WDM 1.10): power IRPs are serialised per device, so a
 * driver sends them with PoCallDriver and lets the next one go with
 * PoStartNextPowerIrp; the IRP bookkeeping checks both (irp.cpp).
 */
#include "irql_rules.h"
#include "kernel_core.h"

#include <sstream>
#include <thread>
#include <vector>

namespace {

// What PoRequestPowerIrp keeps until its IRP is back.
struct PowerRequest {
    PDEVICE_OBJECT target;  // as the caller named it
    PDEVICE_OBJECT top;     // the top of its stack, referenced while the IRP is out
    UCHAR minor;
    POWER_STATE state;
    PREQUEST_POWER_COMPLETE callback;
    PVOID context;
};

// Requests delivered by a worker thread; joined when the kernel is reset.
std::vector<std::thread> &Workers()
{
    static auto *workers = new std::vector<std::thread>;
    return *workers;
}

NTSTATUS NTAPI PowerRequestDone(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto *request = static_cast<PowerRequest *>(context);
    // The callback sees the IRP's final status block; the IRP goes after it.
    if (request->callback != nullptr)
        request->callback(request->target, request->minor, request->state, request->context, &irp->IoStatus);
    ObDereferenceObject(request->top);
    IoFreeIrp(irp);
    delete request;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void Deliver(PDEVICE_OBJECT top, PIRP irp) { hk::internal::CallDriver(top, irp, "host", true); }

}  // namespace

namespace hk {

void JoinPowerWorkers()
{
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::recursive_mutex> hold(internal::BookkeepingLock());
        workers.swap(Workers());
    }
    for (std::thread &worker : workers) worker.join();
}

}  // namespace hk

extern "C" {

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    const void *caller = __builtin_return_address(0);
    hk::internal::CheckIrql((DeviceObject->Flags & DO_POWER_PAGABLE) ? hk::internal::Ddi::PoCallDriverPagable
                                                                     : hk::internal::Ddi::PoCallDriver,
                            caller);
    return hk::internal::CallDriver(DeviceObject, Irp, hk::ImageOfAddress(caller), true);
}

// Lets the power manager send the device its next power IRP. Required once
// per set- and query-power IRP before Windows Vista, from the driver's own
// stack location: before IoSkipCurrentIrpStackLocation, IoCompleteRequest or
// PoCallDriver, or in the completion routine of a driver that powers up on
// the way back (MSD kernel/calling-postartnextpowerirp.md). A no-op from Vista on.
VOID NTAPI PoStartNextPowerIrp(PIRP Irp)
{
    hk::internal::CheckIrql(hk::internal::Ddi::PoStartNextPowerIrp, __builtin_return_address(0));
    hk::internal::NotePowerIrpStarted(Irp);
}

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State)
{
    return hk::internal::SwapPowerState(DeviceObject, Type, State);
}

// The only way a device power IRP comes to be: the device's power policy
// owner asks the power manager, which allocates the IRP, sends it to the top
// of the device's stack and calls |CompletionFunction| once it has completed
// (MSD kernel/irp-mn-set-power.md; DDI nf-wdm-porequestpowerirp: only
// IRP_MN_QUERY_POWER, IRP_MN_SET_POWER and IRP_MN_WAIT_WAKE, otherwise
// STATUS_INVALID_PARAMETER_2; STATUS_PENDING once the IRP is on its way).
NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                 PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP *Irp)
{
    if (Irp != nullptr) *Irp = nullptr;
    if (MinorFunction != IRP_MN_QUERY_POWER && MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_WAIT_WAKE)
        return STATUS_INVALID_PARAMETER_2;
    if (hk::ShouldFail(hk::Service::Irp, HK_CALLER_IMAGE(), STATUS_INSUFFICIENT_RESOURCES))
        return STATUS_INSUFFICIENT_RESOURCES;

    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(DeviceObject);
    PIRP irp = hk::internal::AllocateIrpFor(top->StackSize, "host");
    if (irp == nullptr) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // Power IRPs start out unanswered, as PnP IRPs do.
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_POWER;
    stack->MinorFunction = MinorFunction;
    if (MinorFunction == IRP_MN_WAIT_WAKE) {
        stack->Parameters.WaitWake.PowerState = PowerState.SystemState;
    } else {
        stack->Parameters.Power.Type = DevicePowerState;
        stack->Parameters.Power.State = PowerState;
        stack->Parameters.Power.ShutdownType = PowerActionNone;
    }
    IoSetCompletionRoutine(irp, PowerRequestDone,
                           new PowerRequest{DeviceObject, top, MinorFunction, PowerState, CompletionFunction, Context},
                           TRUE, TRUE, TRUE);
    if (Irp != nullptr) *Irp = irp;

    // A policy owner often asks from a completion routine, which may run at
    // DISPATCH_LEVEL; a stack marked DO_POWER_PAGABLE still gets its power
    // IRPs at PASSIVE_LEVEL, from a system worker thread (ReactOS
    // ntoskrnl/po/power.c PoCallDriver; MSD
    // kernel/setting-device-object-flags-for-power-management.md).
    if (hk::CurrentIrql() > PASSIVE_LEVEL && (top->Flags & DO_POWER_PAGABLE)) {
        std::lock_guard<std::recursive_mutex> hold(hk::internal::BookkeepingLock());
        Workers().emplace_back(Deliver, top, irp);
    } else {
        Deliver(top, irp);
    }
    return STATUS_PENDING;
}

}  // extern "C"
