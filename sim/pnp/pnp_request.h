/*
 * How the Plug and Play and power managers send their requests: an IRP of
 * their own to the top of a device's stack, waited for at PASSIVE_LEVEL.
 */
#pragma once

#include <wdm.h>

#include <functional>
#include <string>

namespace sim {

struct IrpOutcome {
    NTSTATUS status;
    ULONG_PTR information;
};

// Sends to the device at the top of |pdo|'s stack (IoGetAttachedDeviceReference)
// with IoStatus preset to |initialStatus| and |initialInformation|, as the PnP
// manager presets STATUS_NOT_SUPPORTED. Power requests go through PoCallDriver.
IrpOutcome SendToStack(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor,
                       const std::function<void(PIO_STACK_LOCATION)> &fill, ULONG_PTR initialInformation = 0,
                       NTSTATUS initialStatus = STATUS_NOT_SUPPORTED);

// "IRP_MN_START_DEVICE" and friends, for logs and reports.
const char *PnpMinorName(UCHAR minor);
const char *PowerMinorName(UCHAR minor);

}  // namespace sim
