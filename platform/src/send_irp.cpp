/*
 * The one path for synchronous requests from the kernel's managers (Plug and
 * Play, power) and the tests: an IRP of the device's stack size, one wait,
 * and the result as the I/O manager's own synchronous calls take it (ReactOS
 * io/pnpmgr IopSynchronousCall: the IoCallDriver status, or after
 * STATUS_PENDING the status block's). The verifier's checks on the way are
 * IofCallDriver's and IofCompleteRequest's.
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

RequestResult SendRequest(PDEVICE_OBJECT device, const Request &request)
{
    RequestResult result;
    if (internal::LifeOf(device) == internal::DeviceLife::Freed) internal::CheckRequestTarget(device, nullptr, "host");
    PIRP irp = internal::AllocateIrpFor(device->StackSize, "host");
    if (irp == nullptr) {
        result.status = STATUS_INSUFFICIENT_RESOURCES;
        return result;
    }
    auto *waiter = new Waiter{};
    KeInitializeEvent(&waiter->event, NotificationEvent, FALSE);
    irp->UserEvent = &waiter->event;
    irp->UserIosb = &waiter->iosb;
    irp->IoStatus.Status = request.initialStatus;
    irp->IoStatus.Information = request.initialInformation;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = request.major;
    next->MinorFunction = request.minor;
    if (request.fill) request.fill(next);

    const auto text = [&] {
        std::ostringstream what;
        what << "IRP " << irp << " (major 0x" << std::hex << int(request.major) << " minor 0x" << int(request.minor)
             << ") to device " << device;
        return what.str();
    };
    const UCHAR slot = request.major <= IRP_MJ_MAXIMUM_FUNCTION ? request.major : 0;
    const std::string image =
        ImageOfAddress(reinterpret_cast<const void *>(device->DriverObject->MajorFunction[slot]));

    // Power requests go out as the power manager sends them, through PoCallDriver.
    result.status = internal::CallDriver(device, irp, "host", request.major == IRP_MJ_POWER);
    if (result.status == STATUS_PENDING) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = kCompletionTimeout;
        if (KeWaitForSingleObject(&waiter->event, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
            ReportViolation("IRP_NOT_COMPLETED", image, text() + " returned STATUS_PENDING and never completed");
            return result;  // the IRP and its waiter stay with the driver
        }
        result.status = waiter->iosb.Status;
    } else if (KeReadStateEvent(&waiter->event) == 0) {
        // Driver Verifier 0xC9/0x226: neither completed nor passed on nor
        // returned pending.
        ReportViolation("IRP_NOT_COMPLETED", image,
                        text() + " returned without completing it or returning STATUS_PENDING");
        return result;
    }
    result.completed = true;
    result.information = waiter->iosb.Information;
    IoFreeIrp(irp);
    delete waiter;
    return result;
}

NTSTATUS SendIrpSync(PDEVICE_OBJECT device, UCHAR major, UCHAR minor,
                     const std::function<void(PIO_STACK_LOCATION)> &fill, ULONG_PTR *information,
                     NTSTATUS initialStatus)
{
    Request request;
    request.major = major;
    request.minor = minor;
    request.fill = fill;
    request.initialStatus = initialStatus;
    const RequestResult result = SendRequest(device, request);
    if (information != nullptr) *information = result.information;
    return result.status;
}

}  // namespace hk
