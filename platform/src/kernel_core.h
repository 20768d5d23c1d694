/*
 * Shared by the core modules of the host kernel (objects, IRPs, pool,
 * images); the other modules go through internal.h.
 */
#pragma once

#include "internal.h"

#include <string>

namespace hk::internal {

// Pool: frees every live block of |owner| without a report (the caller has
// reported them already); returns how many were freed.
size_t FreePoolOf(const std::string &owner);

// Objects: device objects of a driver that is going away. Each one still
// linked to |driver| is reported as DEVICE_LEAK and detached from the driver,
// so that nothing reaches the unloaded code through it.
size_t RetireDevicesOf(PDRIVER_OBJECT driver, const std::string &image);

// IRPs: allocation for the kernel's own requests (never a fault, owned by
// |owner|).
PIRP AllocateIrpFor(CCHAR stackSize, const std::string &owner);

// IRPs: IoCallDriver's work for |caller|; PoCallDriver's sends say so, so
// that a power IRP sent with IoCallDriver is told apart.
NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, const std::string &caller, bool viaPoCallDriver);

// IRPs: PoStartNextPowerIrp's mark on the set- or query-power IRP it names.
void NotePowerIrpStarted(PIRP irp);

// Objects: PoSetPowerState's record; returns the state it replaces.
POWER_STATE SwapPowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type, POWER_STATE state);

// IRPs: reports IRPs allocated by |image| and never freed as POOL_LEAK.
size_t ReportIrpsOf(const std::string &image, const std::string &when);


// The checks IoCallDriver makes of the device a request goes to (|irp| may
// be null when the request is not built yet): reported when the device is
// delete-pending (false: the request is not delivered), a stop when it is
// freed.
bool CheckRequestTarget(PDEVICE_OBJECT device, PIRP irp, const std::string &caller);

// The I/O manager's answer for every request a driver does not handle.
NTSTATUS NTAPI DefaultDispatch(PDEVICE_OBJECT device, PIRP irp);

// Frees every IRP record and IRP (reset only).
void ResetIrps();

// Images: the service name whose image holds |address|, or empty.
std::string ImageOwningAddress(const void *address);

}  // namespace hk::internal
