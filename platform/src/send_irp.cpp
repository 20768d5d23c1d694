/*
 * Synchronous requests from the kernel's own managers (Plug and Play, power):
 * an IRP of the device's stack size, one wait, the final status.
 */
#include "kernel_core.h"

#include <sstream>

namespace {

// Long enough for any honest driver on a loaded machine, short enough that a
// request nobody completes fails the test instead of hanging it.
constexpr LONGLONG kCompletionTimeout = -30LL * 1000 * 1000 * 10;  // 30 s, relative

// The event and status block outlive a request that never completes, which
// may still be completed later by a misbehaving driver.
struct Waiter {
    KEVENT event;
    IO_STATUS_BLOCK iosb;
};

}  // namespace

namespace hk {

NTSTATUS SendIrpSync(PDEVICE_OBJECT device, UCHAR major, UCHAR minor,
                     const std::function<void(PIO_STACK_LOCATION)> &fill, ULONG_PTR *information,
                     NTSTATUS initialStatus)
{
    if (information != nullptr) *information = 0;
    PIRP irp = internal::AllocateIrpFor(device->StackSize, "host");
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    auto *waiter = new Waiter{};
    KeInitializeEvent(&waiter->event, NotificationEvent, FALSE);
    irp->UserEvent = &waiter->event;
    irp->UserIosb = &waiter->iosb;
    irp->IoStatus.Status = initialStatus;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    if (fill) fill(next);

    std::ostringstream request;
    request << "IRP " << irp << " (major 0x" << std::hex << int(major) << " minor 0x" << int(minor) << ") to device "
            << device;
    const std::string image = hk::ImageOfAddress(reinterpret_cast<const void *>(
        device->DriverObject->MajorFunction[major <= IRP_MJ_MAXIMUM_FUNCTION ? major : 0]));

    // Power requests go out as the power manager sends them.
    NTSTATUS status = internal::CallDriver(device, irp, "host", major == IRP_MJ_POWER);
    if (status == STATUS_PENDING) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = kCompletionTimeout;
        if (KeWaitForSingleObject(&waiter->event, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
            ReportViolation("IRP_NOT_COMPLETED", image, request.str() + " returned STATUS_PENDING and never completed");
            return STATUS_PENDING;  // the IRP and its waiter stay with the driver
        }
        status = waiter->iosb.Status;
    } else if (KeReadStateEvent(&waiter->event) == 0) {
        ReportViolation("IRP_NOT_COMPLETED", image,
                        request.str() + " returned without completing it or returning STATUS_PENDING");
        return status;
    }
    if (information != nullptr) *information = waiter->iosb.Information;
    IoFreeIrp(irp);
    delete waiter;
    return status;
}

}  // namespace hk
