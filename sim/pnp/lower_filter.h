/*
 * A lower filter of the host's own: a pass-through that a machine can put
 * between a board's function driver and the board's PDO, as real stacks
 * often have one (an ACPI or bus filter). Everything goes through it
 * untouched, and everything must: the PDO refuses a request that went
 * around it (a removal aside), as a device whose filter did its part of the
 * request (power, decoding) would be unusable without it. So a function
 * driver that forwards to the PDO instead of the device it attached to fails
 * what it forwards.
 */
#pragma once

#include <hk/host.h>

namespace sim {

extern const char kLowerFilterService[];  // "hklower"

NTSTATUS NTAPI LowerFilterDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

// True when the filter sits right above |pdo| and |irp| did not pass it.
bool WentAroundLowerFilter(PDEVICE_OBJECT pdo, PIRP irp);
// True when |pdo| refuses |irp| for that, with STATUS_INVALID_DEVICE_STATE:
// every request but a removal, which no PDO fails.
bool RefusedAroundLowerFilter(PDEVICE_OBJECT pdo, PIRP irp);

}  // namespace sim
