/*
 * A small WDM function driver of the tests' own that commits one slip at a
 * time (ruleprobe.h), so that each rule of the host kernel is shown to catch
 * a driver that breaks it and to leave alone the same driver without it.
 */
#include <wdm.h>

#include "kernel_compat.h"
#include "nonpaged_pool.h"
#include "ruleprobe.h"

namespace {

constexpr ULONG kProbeTag = 'borP';
/* IRP_MN_DEVICE_ENUMERATED, the last minor code Windows defines. */
constexpr UCHAR kLastKnownPnpMinor = 0x19;

struct ProbeExtension {
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT Lower;
    IO_REMOVE_LOCK RemoveLock;
    KSPIN_LOCK Lock;
};

ULONG gSlip;
POOL_TYPE gNonPagedPoolType;  // chosen at DriverEntry, as the drivers do
PWCHAR gKeptRegistryPath;  // SlipKeepsRegistryPath only: the caller's buffer
PWCHAR gRegistryPathCopy;

ProbeExtension *ExtensionOf(PDEVICE_OBJECT device) { return static_cast<ProbeExtension *>(device->DeviceExtension); }

NTSTATUS Complete(PIRP Irp, NTSTATUS status)
{
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT, PIRP, PVOID Context)
{
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI StartDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    if (gSlip == SlipCompletionReturnsRaised) {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
    }
    return SignalDone(DeviceObject, Irp, Context);
}

/* Sends Irp down with a routine that hands it back, waits, and returns the
   lower drivers' status. */
NTSTATUS ForwardAndWait(PDEVICE_OBJECT Lower, PIRP Irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, StartDone, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(Lower, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
        status = Irp->IoStatus.Status;
    }
    return status;
}

/* Sends the lower device a request of the probe's own and waits for it. */
void SendOwnRequest(PDEVICE_OBJECT Lower, UCHAR Major, UCHAR Minor, PVOID Parameter, NTSTATUS Initial)
{
    PIRP query = IoAllocateIrp(Lower->StackSize, FALSE);
    if (query == NULL) return;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(query);
    stack->MajorFunction = Major;
    stack->MinorFunction = Minor;
    if (Minor == IRP_MN_QUERY_CAPABILITIES)
        stack->Parameters.DeviceCapabilities.Capabilities = static_cast<PDEVICE_CAPABILITIES>(Parameter);
    if (Major == IRP_MJ_POWER) stack->Parameters.PowerSequence.PowerSequence = static_cast<PPOWER_SEQUENCE>(Parameter);
    query->IoStatus.Status = Initial;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(query, SignalDone, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = Major == IRP_MJ_POWER ? PoCallDriver(Lower, query) : IoCallDriver(Lower, query);
    if (status == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    IoFreeIrp(query);
}

void QueryLowerState(PDEVICE_OBJECT Lower)
{
    SendOwnRequest(Lower, IRP_MJ_PNP, IRP_MN_QUERY_PNP_DEVICE_STATE, NULL, STATUS_NOT_SUPPORTED);
}

/* Once started, the probe asks the device below for its capabilities and
   its power sequence, as a function driver does. */
void QueryLowerAfterStart(PDEVICE_OBJECT Lower)
{
    DEVICE_CAPABILITIES caps;
    RtlZeroMemory(&caps, sizeof(caps));
    if (gSlip != SlipCapabilitiesUnset) {
        caps.Version = 1;
        caps.Size = sizeof(caps);
        caps.Address = caps.UINumber = 0xFFFFFFFF;
    }
    SendOwnRequest(Lower, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, &caps,
                   gSlip == SlipOwnQueryNotAtNotSupported ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED);
    POWER_SEQUENCE sequence;
    RtlZeroMemory(&sequence, sizeof(sequence));
    SendOwnRequest(Lower, IRP_MJ_POWER, IRP_MN_POWER_SEQUENCE, &sequence,
                   gSlip == SlipOwnPowerNotAtNotSupported ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED);
}

ULONG PagedWork()
{
    PAGED_CODE();
    return 1;
}

VOID NTAPI ProbeCancel(PDEVICE_OBJECT, PIRP) {}

/* The work done under the device's spin lock, and what a slip puts there. */
NTSTATUS LockedWork(ProbeExtension *ext)
{
    static WCHAR kName[] = L"ruleprobe";
    if (gSlip != SlipRegistryUnderSpinLock) RtlCheckRegistryKey(RTL_REGISTRY_SERVICES, kName);
    if (gSlip != SlipWidePrintUnderSpinLock) DbgPrint("ruleprobe: %ws\n", kName);
    ULONG done = gSlip == SlipPagedCodeUnderSpinLock ? 0 : PagedWork();

    KIRQL old;
    KeAcquireSpinLock(&ext->Lock, &old);
    if (gSlip == SlipRegistryUnderSpinLock) RtlCheckRegistryKey(RTL_REGISTRY_SERVICES, kName);
    if (gSlip == SlipWidePrintUnderSpinLock) DbgPrint("ruleprobe: %ws\n", kName);
    if (gSlip == SlipPagedCodeUnderSpinLock) done = PagedWork();
    if (gSlip == SlipReturnsHoldingSpinLock) return STATUS_SUCCESS;
    KeReleaseSpinLock(&ext->Lock, old);
    return done == 1 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS UseAfterFreeWork()
{
    if (gSlip == SlipKeepsRegistryPath) {
        gKeptRegistryPath[0] = L'\\';
        return STATUS_SUCCESS;
    }
    PUCHAR block = static_cast<PUCHAR>(ExAllocatePoolWithTag(gNonPagedPoolType, 16, kProbeTag));
    if (block == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    block[0] = 1;
    ExFreePoolWithTag(block, kProbeTag);
    if (gSlip == SlipWritesFreedPool) block[3] = 2;
    if (gSlip != SlipLocksFreedPool) return STATUS_SUCCESS;

    // A lock in a block of its own, as a per-request context keeps one.
    PIO_REMOVE_LOCK lock =
        static_cast<PIO_REMOVE_LOCK>(ExAllocatePoolWithTag(NonPagedPool, sizeof(IO_REMOVE_LOCK), kProbeTag));
    if (lock == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    IoInitializeRemoveLock(lock, kProbeTag, 0, 0);
    NTSTATUS status = IoAcquireRemoveLock(lock, lock);
    if (NT_SUCCESS(status)) IoReleaseRemoveLock(lock, lock);
    ExFreePoolWithTag(lock, kProbeTag);
    if (NT_SUCCESS(IoAcquireRemoveLock(lock, lock))) IoReleaseRemoveLock(lock, lock);
    return status;
}

NTSTATUS NTAPI DispatchControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    ProbeExtension *ext = ExtensionOf(DeviceObject);
    if (gSlip == SlipNullCompletionRoutine) {
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, NULL, NULL, TRUE, TRUE, TRUE);
        return IoCallDriver(ext->Lower, Irp);
    }
    NTSTATUS status = LockedWork(ext);
    if (NT_SUCCESS(status)) status = UseAfterFreeWork();
    switch (gSlip) {
    case SlipCompletesWithPending:
        IoMarkIrpPending(Irp);
        Complete(Irp, STATUS_PENDING);
        return STATUS_PENDING;
    case SlipCompletesWithCancelRoutine:
        IoSetCancelRoutine(Irp, ProbeCancel);
        return Complete(Irp, status);
    case SlipReturnsOtherStatus:
        Complete(Irp, status);
        return STATUS_UNSUCCESSFUL;
    default:
        IoSetCancelRoutine(Irp, ProbeCancel);
        IoSetCancelRoutine(Irp, NULL);  /* a request it no longer queues */
        return Complete(Irp, status);
    }
}

NTSTATUS PassDown(ProbeExtension *ext, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = IoCallDriver(ext->Lower, Irp);
    IoReleaseRemoveLock(&ext->RemoveLock, Irp);
    return status;
}

NTSTATUS SurpriseRemoval(PDEVICE_OBJECT DeviceObject, ProbeExtension *ext, PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_SUCCESS;
    if (gSlip == SlipWaitsInSurpriseRemoval) {
        IoReleaseRemoveLockAndWait(&ext->RemoveLock, Irp);
        IoSkipCurrentIrpStackLocation(Irp);
        return IoCallDriver(ext->Lower, Irp);
    }
    if (gSlip != SlipDeletesInSurpriseRemoval) return PassDown(ext, Irp);
    PDEVICE_OBJECT lower = ext->Lower;
    IoReleaseRemoveLock(&ext->RemoveLock, Irp);
    IoDetachDevice(lower);
    IoDeleteDevice(DeviceObject);
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(lower, Irp);
}

NTSTATUS Remove(PDEVICE_OBJECT DeviceObject, ProbeExtension *ext, PIRP Irp)
{
    PDEVICE_OBJECT lower = ext->Lower;
    if (gSlip == SlipFailsRemove) {
        IoReleaseRemoveLockAndWait(&ext->RemoveLock, Irp);
        IoDetachDevice(lower);
        IoDeleteDevice(DeviceObject);
        return Complete(Irp, STATUS_UNSUCCESSFUL);
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = IoCallDriver(lower, Irp);
    if (gSlip == SlipQueriesRemovedLower) QueryLowerState(lower);
    if (gSlip != SlipDeletesHoldingRemoveLock) IoReleaseRemoveLockAndWait(&ext->RemoveLock, Irp);
    if (gSlip == SlipKeepsDeviceAtRemove) return status;
    IoDetachDevice(gSlip == SlipDetachesItself ? DeviceObject : lower);
    if (gSlip != SlipOnlyDetachesAtRemove) IoDeleteDevice(DeviceObject);
    return status;
}

NTSTATUS Start(ProbeExtension *ext, PIRP Irp)
{
    NTSTATUS status;
    if (gSlip == SlipStartUnhandled || gSlip == SlipStartNotPassedDown) {
        status = Complete(Irp, gSlip == SlipStartUnhandled ? Irp->IoStatus.Status : STATUS_SUCCESS);
        IoReleaseRemoveLock(&ext->RemoveLock, Irp);
        return status;
    }
    if (gSlip == SlipPassesFailedStartDown) Irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
    if (gSlip == SlipReleasesBeforeForward) IoReleaseRemoveLock(&ext->RemoveLock, Irp);
    status = ForwardAndWait(ext->Lower, Irp);
    if (NT_SUCCESS(status)) QueryLowerAfterStart(ext->Lower);
    if (NT_SUCCESS(status) && gSlip == SlipStartFailsNotSupported) status = STATUS_NOT_SUPPORTED;
    Complete(Irp, status);
    if (gSlip != SlipReleasesBeforeForward) IoReleaseRemoveLock(&ext->RemoveLock, Irp);
    return status;
}

/* Bus relations: the probe has no children, and reports none. */
NTSTATUS Relations(PDEVICE_OBJECT DeviceObject, ProbeExtension *ext, PIRP Irp)
{
    if (gSlip == SlipReportsItselfInRelations) {
        PDEVICE_RELATIONS relations =
            static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kProbeTag));
        if (relations != NULL) {
            ObReferenceObject(DeviceObject);
            relations->Count = 1;
            relations->Objects[0] = DeviceObject;
            Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
            Irp->IoStatus.Status = STATUS_SUCCESS;
        }
    }
    return PassDown(ext, Irp);
}

/* A request the probe does not understand. */
NTSTATUS Unknown(ProbeExtension *ext, PIRP Irp)
{
    if (gSlip == SlipCompletesUnknown) {
        NTSTATUS status = Complete(Irp, Irp->IoStatus.Status);
        IoReleaseRemoveLock(&ext->RemoveLock, Irp);
        return status;
    }
    if (gSlip == SlipChangesUnknownStatus) Irp->IoStatus.Status = STATUS_SUCCESS;
    if (gSlip == SlipChangesUnknownInformation) Irp->IoStatus.Information = 1;
    return PassDown(ext, Irp);
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    ProbeExtension *ext = ExtensionOf(DeviceObject);
    NTSTATUS status = IoAcquireRemoveLock(&ext->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) return Complete(Irp, status);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MinorFunction > kLastKnownPnpMinor) return Unknown(ext, Irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return Start(ext, Irp);
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        return Relations(DeviceObject, ext, Irp);
    case IRP_MN_SURPRISE_REMOVAL:
        return SurpriseRemoval(DeviceObject, ext, Irp);
    case IRP_MN_REMOVE_DEVICE:
        return Remove(DeviceObject, ext, Irp);
    default:
        return PassDown(ext, Irp);
    }
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    ProbeExtension *ext = ExtensionOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PoStartNextPowerIrp(Irp);
    const bool query = stack->MinorFunction == IRP_MN_QUERY_POWER;
    if ((gSlip == SlipCompletesUnknownPower && stack->MinorFunction > IRP_MN_QUERY_POWER) ||
        (gSlip == SlipCompletesQueryPowerUntouched && query))
        return Complete(Irp, Irp->IoStatus.Status);
    if (gSlip == SlipCompletesQueryPower && query) return Complete(Irp, STATUS_SUCCESS);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(ext->Lower, Irp);
}

/* Everything the device below shows the drivers above, as a filter takes
   it on. */
void TakeOnLower(PDEVICE_OBJECT Device, PDEVICE_OBJECT Lower)
{
    ULONG flags = Lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
    if (gSlip == SlipDropsPowerPagable) flags &= ~DO_POWER_PAGABLE;
    if (gSlip == SlipDropsIoFlags) flags &= ~(DO_BUFFERED_IO | DO_DIRECT_IO);
    if (gSlip == SlipSetsBothIoFlags) flags |= DO_BUFFERED_IO | DO_DIRECT_IO;
    Device->Flags |= flags;
    if (gSlip != SlipKeepsOwnDeviceType) Device->DeviceType = Lower->DeviceType;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo)
{
    PDEVICE_OBJECT device = NULL;
    NTSTATUS status =
        IoCreateDevice(DriverObject, sizeof(ProbeExtension), NULL, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    ProbeExtension *ext = ExtensionOf(device);
    ext->Self = device;
    KeInitializeSpinLock(&ext->Lock);
    IoInitializeRemoveLock(&ext->RemoveLock, kProbeTag, 0, 0);
    ext->Lower = IoAttachDeviceToDeviceStack(device, Pdo);
    if (ext->Lower == NULL) {
        IoDeleteDevice(device);
        return STATUS_DEVICE_REMOVED;
    }
    TakeOnLower(device, ext->Lower);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    if (gSlip != SlipAddDeviceReturnsRaised) KeLowerIrql(old);
    return STATUS_SUCCESS;
}

VOID NTAPI Unload(PDRIVER_OBJECT DriverObject)
{
    UNREFERENCED_PARAMETER(DriverObject);
    if (gRegistryPathCopy != NULL) ExFreePoolWithTag(gRegistryPathCopy, kProbeTag);
}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    static WCHAR kService[] = L"ruleprobe";
    static WCHAR kSlip[] = L"Slip";
    RTL_QUERY_REGISTRY_TABLE table[2];
    RtlZeroMemory(table, sizeof(table));
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_TYPECHECK;
    table[0].Name = kSlip;
    table[0].EntryContext = &gSlip;
    table[0].DefaultType = (REG_DWORD << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT) | REG_NONE;
    gSlip = SlipNone;
    RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, kService, table, NULL, NULL);

    gNonPagedPoolType = gSlip == SlipExecutablePool ? NonPagedPool
                        : gSlip == SlipNxPoolAlways ? NonPagedPoolNx
                                                    : NonPagedPoolOfRunningWindows();

    if (gSlip == SlipKeepsRegistryPath) {
        gKeptRegistryPath = RegistryPath->Buffer;
    } else {
        /* The path lives only for this call: a copy is kept instead. */
        gRegistryPathCopy = static_cast<PWCHAR>(
            ExAllocatePoolWithTag(PagedPool, RegistryPath->Length + sizeof(WCHAR), kProbeTag));
        if (gRegistryPathCopy == NULL) return STATUS_INSUFFICIENT_RESOURCES;
        RtlCopyMemory(gRegistryPathCopy, RegistryPath->Buffer, RegistryPath->Length);
        gRegistryPathCopy[RegistryPath->Length / sizeof(WCHAR)] = 0;
    }
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->DriverUnload = Unload;
    return STATUS_SUCCESS;
}
