/*
 * The one table of maximum IRQLs. Each row is the routine's documented
 * maximum: the "IRQL" requirement of its reference page on
 * learn.microsoft.com/windows-hardware/drivers/ddi (wdm/nf-wdm-<name>,
 * ntddk/nf-ntddk-<name>), and the Driver Verifier bug check that reports a
 * call above it where the verifier has one (bug-check-0xc4 and -0xc9 pages).
 * Where Windows' documents disagree the looser rule is kept (see the row).
 *
 * Windows without Driver Verifier does not check: a call above the maximum
 * runs until it touches pageable memory or blocks, and then stops the
 * machine somewhere else. The host reports it where it happens instead, as
 * Driver Verifier's forced IRQL checking and DDI compliance checks do.
 */
#include "irql_rules.h"

#include <sstream>

namespace {

using hk::internal::Ddi;

struct IrqlRule {
    Ddi ddi;
    const char *routine;
    KIRQL maximum;
    const char *verifier;  // the verifier's report for a call above it, if any
};

// Ordered as the enum, so that a row is found by its index.
constexpr IrqlRule kRules[] = {
    // ExAllocatePoolWithTag: "<= DISPATCH_LEVEL ... PagedPool <= APC_LEVEL".
    {Ddi::ExAllocatePoolNonPaged, "ExAllocatePoolWithTag(NonPagedPool)", DISPATCH_LEVEL, "0xC4/0x02"},
    {Ddi::ExAllocatePoolPaged, "ExAllocatePoolWithTag(PagedPool)", APC_LEVEL, "0xC4/0x01"},
    // ExFreePool(WithTag): the same limits as the allocation.
    {Ddi::ExFreePoolNonPaged, "ExFreePool(NonPagedPool)", DISPATCH_LEVEL, ""},
    {Ddi::ExFreePoolPaged, "ExFreePool(PagedPool)", APC_LEVEL, ""},
    // IoAllocateIrp, IoFreeIrp: <= DISPATCH_LEVEL.
    {Ddi::IoAllocateIrp, "IoAllocateIrp", DISPATCH_LEVEL, ""},
    {Ddi::IoFreeIrp, "IoFreeIrp", DISPATCH_LEVEL, ""},
    // IofCallDriver, IofCompleteRequest: <= DISPATCH_LEVEL.
    {Ddi::IoCallDriver, "IoCallDriver", DISPATCH_LEVEL, "0xC9/0x10"},
    {Ddi::IoCompleteRequest, "IoCompleteRequest", DISPATCH_LEVEL, "0xC9/0x0E"},
    // PoCallDriver: PASSIVE_LEVEL for a DO_POWER_PAGABLE target, else
    // <= DISPATCH_LEVEL. PoStartNextPowerIrp: <= DISPATCH_LEVEL.
    {Ddi::PoCallDriver, "PoCallDriver", DISPATCH_LEVEL, ""},
    {Ddi::PoCallDriverPagable, "PoCallDriver(DO_POWER_PAGABLE target)", PASSIVE_LEVEL, ""},
    {Ddi::PoStartNextPowerIrp, "PoStartNextPowerIrp", DISPATCH_LEVEL, ""},
    // IoCreateDevice, IoDeleteDevice: PASSIVE_LEVEL on their pages, APC_LEVEL
    // in the WDK's IRQL tables; the looser is kept.
    {Ddi::IoCreateDevice, "IoCreateDevice", APC_LEVEL, ""},
    {Ddi::IoDeleteDevice, "IoDeleteDevice", APC_LEVEL, ""},
    // IoAttachDeviceToDeviceStack: <= DISPATCH_LEVEL. IoDetachDevice:
    // PASSIVE_LEVEL. IoGetAttachedDeviceReference: <= DISPATCH_LEVEL.
    {Ddi::IoAttachDeviceToDeviceStack, "IoAttachDeviceToDeviceStack", DISPATCH_LEVEL, ""},
    {Ddi::IoDetachDevice, "IoDetachDevice", PASSIVE_LEVEL, ""},
    {Ddi::IoGetAttachedDeviceReference, "IoGetAttachedDeviceReference", DISPATCH_LEVEL, ""},
    // ObfReferenceObject, ObfDereferenceObject: <= DISPATCH_LEVEL.
    {Ddi::ObReferenceObject, "ObReferenceObject", DISPATCH_LEVEL, ""},
    {Ddi::ObDereferenceObject, "ObDereferenceObject", DISPATCH_LEVEL, ""},
    // IoIsWdmVersionAvailable: PASSIVE_LEVEL.
    {Ddi::IoIsWdmVersionAvailable, "IoIsWdmVersionAvailable", PASSIVE_LEVEL, ""},
    // RtlGetVersion: PASSIVE_LEVEL.
    {Ddi::RtlGetVersion, "RtlGetVersion", PASSIVE_LEVEL, ""},
    // Remove locks (the macros wrap the ...Ex routines): initialise and
    // release-and-wait PASSIVE_LEVEL, acquire and release <= DISPATCH_LEVEL.
    {Ddi::IoInitializeRemoveLock, "IoInitializeRemoveLock", PASSIVE_LEVEL, ""},
    {Ddi::IoAcquireRemoveLock, "IoAcquireRemoveLock", DISPATCH_LEVEL, ""},
    {Ddi::IoReleaseRemoveLock, "IoReleaseRemoveLock", DISPATCH_LEVEL, ""},
    {Ddi::IoReleaseRemoveLockAndWait, "IoReleaseRemoveLockAndWait", PASSIVE_LEVEL, ""},
    // KeSetEvent: <= DISPATCH_LEVEL with Wait FALSE; with Wait TRUE the
    // caller goes on to wait, so <= APC_LEVEL.
    {Ddi::KeSetEvent, "KeSetEvent", DISPATCH_LEVEL, "0xC4/0x80"},
    {Ddi::KeSetEventThenWait, "KeSetEvent(Wait TRUE)", APC_LEVEL, ""},
    // KeWaitForSingleObject: <= APC_LEVEL, or <= DISPATCH_LEVEL with a zero
    // timeout (a poll that never blocks).
    {Ddi::KeWaitForSingleObject, "KeWaitForSingleObject", APC_LEVEL, ""},
    {Ddi::KeWaitForSingleObjectNoWait, "KeWaitForSingleObject(zero timeout)", DISPATCH_LEVEL, ""},
    // KeAcquireSpinLock: <= DISPATCH_LEVEL.
    {Ddi::KeAcquireSpinLock, "KeAcquireSpinLock", DISPATCH_LEVEL, "0xC4/0x42"},
    // MmMapIoSpace: <= DISPATCH_LEVEL. MmUnmapIoSpace: <= DISPATCH_LEVEL on
    // its page, while Driver Verifier's 0xC4/0x7B reports it above
    // APC_LEVEL; the looser is kept.
    {Ddi::MmMapIoSpace, "MmMapIoSpace", DISPATCH_LEVEL, "0xC4/0x73"},
    {Ddi::MmUnmapIoSpace, "MmUnmapIoSpace", DISPATCH_LEVEL, ""},
    // IoGetDeviceProperty, IoOpenDeviceRegistryKey: PASSIVE_LEVEL.
    {Ddi::IoGetDeviceProperty, "IoGetDeviceProperty", PASSIVE_LEVEL, ""},
    {Ddi::IoOpenDeviceRegistryKey, "IoOpenDeviceRegistryKey", PASSIVE_LEVEL, ""},
    // ZwOpenKey, ZwQueryValueKey, ZwSetValueKey, ZwClose: PASSIVE_LEVEL.
    {Ddi::ZwOpenKey, "ZwOpenKey", PASSIVE_LEVEL, ""},
    {Ddi::ZwQueryValueKey, "ZwQueryValueKey", PASSIVE_LEVEL, ""},
    {Ddi::ZwSetValueKey, "ZwSetValueKey", PASSIVE_LEVEL, ""},
    {Ddi::ZwClose, "ZwClose", PASSIVE_LEVEL, ""},
    // RtlQueryRegistryValues, RtlWriteRegistryValue, RtlCheckRegistryKey:
    // PASSIVE_LEVEL.
    {Ddi::RtlQueryRegistryValues, "RtlQueryRegistryValues", PASSIVE_LEVEL, ""},
    {Ddi::RtlWriteRegistryValue, "RtlWriteRegistryValue", PASSIVE_LEVEL, ""},
    {Ddi::RtlCheckRegistryKey, "RtlCheckRegistryKey", PASSIVE_LEVEL, ""},
    // RtlIntegerToUnicodeString, RtlUnicodeStringToInteger: PASSIVE_LEVEL.
    {Ddi::RtlIntegerToUnicodeString, "RtlIntegerToUnicodeString", PASSIVE_LEVEL, ""},
    {Ddi::RtlUnicodeStringToInteger, "RtlUnicodeStringToInteger", PASSIVE_LEVEL, ""},
    // RtlUpcaseUnicodeString: <= APC_LEVEL (ntddk/nf-ntddk-rtlupcaseunicodestring).
    // RtlCompareUnicodeString, RtlEqualUnicodeString: PASSIVE_LEVEL.
    {Ddi::RtlUpcaseUnicodeString, "RtlUpcaseUnicodeString", APC_LEVEL, ""},
    {Ddi::RtlCompareUnicodeString, "RtlCompareUnicodeString", PASSIVE_LEVEL, ""},
    {Ddi::RtlEqualUnicodeString, "RtlEqualUnicodeString", PASSIVE_LEVEL, ""},
    // DbgPrint runs at any IRQL, but "%C, %S, %lc, %ls, %wc, %ws and %wZ can
    // only be used at IRQL = PASSIVE_LEVEL" (wdm/nf-wdm-dbgprint).
    {Ddi::DbgPrintWideFormat, "DbgPrint with a wide-character conversion", PASSIVE_LEVEL, ""},
    // IoInvalidateDeviceRelations, IoInvalidateDeviceState: <= DISPATCH_LEVEL
    // (the PnP manager acts on them later, from its own thread).
    {Ddi::IoInvalidateDeviceRelations, "IoInvalidateDeviceRelations", DISPATCH_LEVEL, ""},
    {Ddi::IoInvalidateDeviceState, "IoInvalidateDeviceState", DISPATCH_LEVEL, ""},
};
static_assert(sizeof(kRules) / sizeof(kRules[0]) == size_t(Ddi::Count), "one IRQL rule per service");

constexpr bool RulesInEnumOrder()
{
    for (size_t i = 0; i < size_t(Ddi::Count); ++i) {
        if (kRules[i].ddi != Ddi(i)) return false;
    }
    return true;
}
static_assert(RulesInEnumOrder(), "the IRQL table follows the order of Ddi");

const IrqlRule &RuleOf(Ddi ddi) { return kRules[size_t(ddi)]; }

thread_local int spinLocksHeld = 0;

}  // namespace

namespace hk::internal {

const char *IrqlName(KIRQL irql)
{
    switch (irql) {
    case PASSIVE_LEVEL: return "PASSIVE_LEVEL";
    case APC_LEVEL: return "APC_LEVEL";
    case DISPATCH_LEVEL: return "DISPATCH_LEVEL";
    case HIGH_LEVEL: return "HIGH_LEVEL";
    default: return "a device IRQL";
    }
}

KIRQL MaximumIrql(Ddi ddi) { return RuleOf(ddi).maximum; }

void CheckIrql(Ddi ddi, const void *caller)
{
    hk::CountWork(hk::Work::KernelCall);
    const KIRQL irql = hk::CurrentIrql();
    const IrqlRule &rule = RuleOf(ddi);
    if (irql <= rule.maximum) return;
    std::ostringstream detail;
    detail << rule.routine << " called at IRQL " << int(irql) << " (" << IrqlName(irql) << "), above its maximum "
           << IrqlName(rule.maximum);
    if (*rule.verifier != 0) detail << " (Driver Verifier " << rule.verifier << ")";
    hk::ReportViolation("IRQL_TOO_HIGH", hk::ImageOfAddress(caller), detail.str());
}

void NoteSpinLockAcquired() { ++spinLocksHeld; }
void NoteSpinLockReleased()
{
    if (spinLocksHeld > 0) --spinLocksHeld;
}
int SpinLocksHeld() { return spinLocksHeld; }
void ForgetSpinLocksHeld() { spinLocksHeld = 0; }

RoutineFrame::RoutineFrame() : irql_(hk::CurrentIrql()), locks_(spinLocksHeld) {}

void RoutineFrame::Check(const void *routine, const std::function<std::string()> &what, const char *rule)
{
    const KIRQL now = hk::CurrentIrql();
    const std::string image = hk::ImageOfAddress(routine);
    if (now != irql_) {
        std::ostringstream detail;
        detail << what() << " returned at IRQL " << int(now) << " (" << IrqlName(now) << "), entered at " << int(irql_)
               << " (" << IrqlName(irql_) << "): " << rule;
        hk::ReportViolation("IRQL_NOT_RESTORED", image, detail.str());
        hk::SetCurrentIrql(irql_);  // contained: the caller goes on at its own level
    }
    // Static Driver Verifier's spin-lock rules: a routine releases what it
    // acquired before it returns; a lock left held is never free again.
    if (spinLocksHeld > locks_) {
        std::ostringstream detail;
        detail << what() << " returned still holding " << (spinLocksHeld - locks_)
               << " spin lock(s) it acquired: nothing else can take them again";
        hk::ReportViolation("SPIN_LOCK_HELD_ON_RETURN", image, detail.str());
    }
}

}  // namespace hk::internal
