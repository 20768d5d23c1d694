/*
 * Failures of the lower drivers of the machine: the serial port driver
 * stand-in below mpsfilt and the host's lower filter below mpsbus can be
 * told to fail one Plug and Play request, so that a sweep sees how the
 * drivers above handle a lower driver's refusal. Only requests a driver may
 * fail are counted and failed: START, the stop and remove queries, IDs,
 * texts, capabilities, the device state, resources and their requirements.
 * Never STOP, REMOVE, SURPRISE_REMOVAL or the cancels, which no driver may
 * fail (MSD kernel/irp-mn-stop-device.md, irp-mn-remove-device.md,
 * irp-mn-surprise-removal.md, irp-mn-cancel-stop-device.md,
 * irp-mn-cancel-remove-device.md); nor relations, whose list the drivers
 * above hand down in the request and which the one failing it would strand,
 * nor QUERY_INTERFACE, which the filter itself sends.
 */
#pragma once

#include <hk/host.h>

#include <string>
#include <vector>

namespace sim {

// What a lower driver told to fail completes the request with: a device
// error, which no driver above has as a status of its own.
constexpr NTSTATUS kLowerDriverFailure = NTSTATUS(0xC0000185L);  // STATUS_IO_DEVICE_ERROR

// One request a lower driver may fail, as it reached the driver.
struct LowerRequest {
    std::string driver;   // "serial", "hklower"
    UCHAR minor = 0;
    unsigned device = 0;  // which of the driver's devices, in the order it first saw them
};

// Fails the |n|-th (1-based) failable request |driver| receives; 0: none.
void FailLowerRequest(const std::string &driver, unsigned n);
// Clears the plan and what was counted.
void ResetLowerFaults();
// Every failable request the lower drivers received since the last reset.
std::vector<LowerRequest> LowerRequests();
// True once the planned request has been failed.
bool LowerRequestFailed();

// Called by a lower driver's PnP dispatch with the request it got: counts
// it if it may be failed, and says whether to fail it.
bool LowerDriverFails(const char *driver, PDEVICE_OBJECT device, PIRP irp);

}  // namespace sim
