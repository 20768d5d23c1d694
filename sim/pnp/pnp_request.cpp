#include "pnp_request.h"

#include <hk/host.h>

namespace sim {

namespace {

// Long enough for an honest driver on a loaded machine, short enough that a
// request nobody completes fails a run instead of hanging it.
const LONGLONG kCompletionTimeout = -30LL * 1000 * 1000 * 10;  // 30 s, relative

NTSTATUS NTAPI SignalRequestDone(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    // The IRP is ours: completion stops here and the sender frees it.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

IrpOutcome SendToStack(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor,
                       const std::function<void(PIO_STACK_LOCATION)> &fill, ULONG_PTR initialInformation,
                       NTSTATUS initialStatus)
{
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    PIRP irp = hk::AllocateManagerIrp(top->StackSize);
    if (!irp) {
        ObDereferenceObject(top);
        return IrpOutcome{STATUS_INSUFFICIENT_RESOURCES, 0};
    }
    irp->IoStatus.Status = initialStatus;
    irp->IoStatus.Information = initialInformation;

    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->MinorFunction = minor;
    if (fill) fill(stack);

    // On the heap: a request nobody completes keeps its event, in case a
    // driver completes it after all.
    auto *done = new KEVENT;
    KeInitializeEvent(done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalRequestDone, done, TRUE, TRUE, TRUE);

    const std::string request = major == IRP_MJ_POWER ? PowerMinorName(minor) : PnpMinorName(minor);
    const std::string image = hk::ImageOfAddress(reinterpret_cast<const void *>(top->DriverObject->MajorFunction[major]));
    const NTSTATUS returned = major == IRP_MJ_POWER ? PoCallDriver(top, irp) : IoCallDriver(top, irp);
    bool completed = true;
    if (returned == STATUS_PENDING) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = kCompletionTimeout;
        completed = KeWaitForSingleObject(done, Executive, KernelMode, FALSE, &timeout) != STATUS_TIMEOUT;
        if (!completed) hk::ReportViolation("IRP_NOT_COMPLETED", image, request + " returned STATUS_PENDING and never completed");
    } else if (!KeReadStateEvent(done)) {
        completed = false;
        hk::ReportViolation("IRP_NOT_COMPLETED", image,
                            request + " returned without completing it or returning STATUS_PENDING");
    }
    // The IRP may still be in a driver's hands: it is left there, and the
    // request counts as failed.
    if (!completed) return IrpOutcome{NT_SUCCESS(returned) ? STATUS_DRIVER_INTERNAL_ERROR : returned, 0};

    const IrpOutcome outcome{irp->IoStatus.Status, irp->IoStatus.Information};
    IoFreeIrp(irp);
    delete done;
    ObDereferenceObject(top);
    return outcome;
}

const char *PnpMinorName(UCHAR minor)
{
    static const char *const names[] = {
        "IRP_MN_START_DEVICE",
        "IRP_MN_QUERY_REMOVE_DEVICE",
        "IRP_MN_REMOVE_DEVICE",
        "IRP_MN_CANCEL_REMOVE_DEVICE",
        "IRP_MN_STOP_DEVICE",
        "IRP_MN_QUERY_STOP_DEVICE",
        "IRP_MN_CANCEL_STOP_DEVICE",
        "IRP_MN_QUERY_DEVICE_RELATIONS",
        "IRP_MN_QUERY_INTERFACE",
        "IRP_MN_QUERY_CAPABILITIES",
        "IRP_MN_QUERY_RESOURCES",
        "IRP_MN_QUERY_RESOURCE_REQUIREMENTS",
        "IRP_MN_QUERY_DEVICE_TEXT",
        "IRP_MN_FILTER_RESOURCE_REQUIREMENTS",
        "IRP_MN_0E",
        "IRP_MN_READ_CONFIG",
        "IRP_MN_WRITE_CONFIG",
        "IRP_MN_EJECT",
        "IRP_MN_SET_LOCK",
        "IRP_MN_QUERY_ID",
        "IRP_MN_QUERY_PNP_DEVICE_STATE",
        "IRP_MN_QUERY_BUS_INFORMATION",
        "IRP_MN_DEVICE_USAGE_NOTIFICATION",
        "IRP_MN_SURPRISE_REMOVAL",
    };
    return minor < sizeof(names) / sizeof(names[0]) ? names[minor] : "IRP_MN_(unknown)";
}

const char *PowerMinorName(UCHAR minor)
{
    static const char *const names[] = {"IRP_MN_WAIT_WAKE", "IRP_MN_POWER_SEQUENCE", "IRP_MN_SET_POWER",
                                        "IRP_MN_QUERY_POWER"};
    return minor < sizeof(names) / sizeof(names[0]) ? names[minor] : "IRP_MN_(unknown power)";
}

}  // namespace sim
