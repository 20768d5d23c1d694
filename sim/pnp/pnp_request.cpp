#include "pnp_request.h"

#include <hk/host.h>

namespace sim {

IrpOutcome SendToStack(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor,
                       const std::function<void(PIO_STACK_LOCATION)> &fill, ULONG_PTR initialInformation,
                       NTSTATUS initialStatus)
{
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    hk::Request request;
    request.major = major;
    request.minor = minor;
    request.fill = fill;
    request.initialStatus = initialStatus;
    request.initialInformation = initialInformation;
    const hk::RequestResult result = hk::SendRequest(top, request);
    // A request still in a driver's hands stays there, with the reference
    // on the device it went to, and counts as failed.
    if (!result.completed) return IrpOutcome{NT_SUCCESS(result.status) ? STATUS_DRIVER_INTERNAL_ERROR : result.status, 0};
    ObDereferenceObject(top);
    return IrpOutcome{result.status, result.information};
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
