/*
 * Shared by the synchronisation modules of the host kernel (IRQL, spin locks,
 * events, remove locks); nothing outside them includes it.
 */
#pragma once

#include "internal.h"

namespace hk::internal {

// The body of KeWaitForSingleObject on an event, for kernel routines that
// wait on a driver's behalf: |caller| is the driver's return address, so a
// wait above APC_LEVEL is charged to the driver that asked for it. A service
// that has checked its own caller's IRQL already passes |checkIrql| false.
NTSTATUS WaitForEvent(PKEVENT event, const LARGE_INTEGER *timeout, const void *caller, bool checkIrql);

// Takes and drops a spin lock word without touching the IRQL, as the
// interlocked list routines do (they run at any level).
void LockSpinWord(PKSPIN_LOCK lock, const void *caller);
void UnlockSpinWord(PKSPIN_LOCK lock);

}  // namespace hk::internal
