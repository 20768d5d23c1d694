/*
 * The highest IRQL at which each kernel service may be called, kept in one
 * table (irql_rules.cpp) that every service consults on entry. Also the
 * per-thread record of spin locks held, and the check that a driver routine
 * hands back the IRQL (and the locks) it was given.
 */
#pragma once

#include "internal.h"

#include <functional>
#include <string>

namespace hk::internal {

// One row of the table each; irql_rules.cpp gives the level and its source.
enum class Ddi {
    ExAllocatePoolNonPaged,
    ExAllocatePoolPaged,
    ExFreePoolNonPaged,
    ExFreePoolPaged,
    IoAllocateIrp,
    IoFreeIrp,
    IoCallDriver,
    IoCompleteRequest,
    PoCallDriver,
    PoCallDriverPagable,
    PoStartNextPowerIrp,
    IoCreateDevice,
    IoDeleteDevice,
    IoAttachDeviceToDeviceStack,
    IoDetachDevice,
    IoGetAttachedDeviceReference,
    ObReferenceObject,
    ObDereferenceObject,
    IoIsWdmVersionAvailable,
    RtlGetVersion,
    IoInitializeRemoveLock,
    IoAcquireRemoveLock,
    IoReleaseRemoveLock,
    IoReleaseRemoveLockAndWait,
    KeSetEvent,
    KeSetEventThenWait,
    KeWaitForSingleObject,
    KeWaitForSingleObjectNoWait,
    KeAcquireSpinLock,
    MmMapIoSpace,
    MmUnmapIoSpace,
    IoGetDeviceProperty,
    IoOpenDeviceRegistryKey,
    ZwOpenKey,
    ZwQueryValueKey,
    ZwSetValueKey,
    ZwClose,
    RtlQueryRegistryValues,
    RtlWriteRegistryValue,
    RtlCheckRegistryKey,
    RtlIntegerToUnicodeString,
    RtlUnicodeStringToInteger,
    RtlUpcaseUnicodeString,
    RtlCompareUnicodeString,
    RtlEqualUnicodeString,
    DbgPrintWideFormat,
    IoInvalidateDeviceRelations,
    IoInvalidateDeviceState,
    Count
};

// Reports IRQL_TOO_HIGH, charged to the image at |caller|, when the current
// IRQL is above |ddi|'s maximum; the service then carries on as asked.
void CheckIrql(Ddi ddi, const void *caller);
KIRQL MaximumIrql(Ddi ddi);
const char *IrqlName(KIRQL irql);

// Spin locks this thread holds (KeAcquireSpinLock not yet released).
void NoteSpinLockAcquired();
void NoteSpinLockReleased();
int SpinLocksHeld();
void ForgetSpinLocksHeld();  // reset only

// What a driver routine was entered with; Check reports a routine that
// returns at another IRQL or with more spin locks held, names the rule
// |rule| it breaks, and puts the IRQL back so that the run can go on. The
// routine's description |what| is built only for a report: most routines
// run many times and break nothing.
class RoutineFrame {
public:
    RoutineFrame();
    void Check(const void *routine, const std::function<std::string()> &what, const char *rule);

private:
    KIRQL irql_;
    int locks_;
};

}  // namespace hk::internal
