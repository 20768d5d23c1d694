/*
 * Spin locks and the interlocked list routines. The KSPIN_LOCK word holds
 * the owning thread's number while the lock is held, so two threads really
 * exclude each other and a thread that takes its own lock again is caught
 * instead of spinning for ever.
 */
#include "irql_rules.h"
#include "sync_internal.h"

#include <atomic>
#include <sched.h>
#include <sstream>

namespace {

std::atomic<ULONG> nextThreadNumber{1};
thread_local ULONG threadNumber = 0;

ULONG ThisThreadNumber()
{
    if (threadNumber == 0) threadNumber = nextThreadNumber.fetch_add(1);
    return threadNumber;
}

std::string Describe(const char *routine, const void *lock)
{
    std::ostringstream text;
    text << routine << "(" << lock << ")";
    return text.str();
}

}  // namespace

namespace hk::internal {

void LockSpinWord(PKSPIN_LOCK lock, const void *caller)
{
    // The lock word is pointer-sized: the owner's number fills all of it.
    const KSPIN_LOCK me = ThisThreadNumber();
    for (;;) {
        KSPIN_LOCK expected = 0;
        if (__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) return;
        if (expected == me) {
            // Spins for ever on Windows; Driver Verifier's deadlock detection
            // stops it first (0xC4/0x1001: a thread acquires a lock it owns).
            hk::BugCheck(0xC4, "DRIVER_VERIFIER_DETECTED_VIOLATION (0x1001, ...): spin lock " +
                                   Describe("acquired again by its owner", lock) + " in " + hk::ImageOfAddress(caller));
        }
        sched_yield();
    }
}

void UnlockSpinWord(PKSPIN_LOCK lock) { __atomic_store_n(lock, 0, __ATOMIC_RELEASE); }

}  // namespace hk::internal

extern "C" {

KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock)
{
    const void *caller = __builtin_return_address(0);
    const KIRQL old = hk::CurrentIrql();
    hk::internal::CheckIrql(hk::internal::Ddi::KeAcquireSpinLock, caller);
    // Above DISPATCH_LEVEL, lowering to it would unmask what the caller
    // masked: the lock is taken where the caller is.
    if (old <= DISPATCH_LEVEL) hk::SetCurrentIrql(DISPATCH_LEVEL);
    hk::internal::LockSpinWord(SpinLock, caller);
    hk::internal::NoteSpinLockAcquired();
    return old;
}

VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    const void *caller = __builtin_return_address(0);
    if (__atomic_load_n(SpinLock, __ATOMIC_ACQUIRE) == 0) {
        hk::ReportViolation("SPIN_LOCK_IRQL", hk::ImageOfAddress(caller),
                            Describe("KfReleaseSpinLock", SpinLock) + " of a lock that is not held");
    } else {
        hk::internal::UnlockSpinWord(SpinLock);
        hk::internal::NoteSpinLockReleased();
    }
    const KIRQL now = hk::CurrentIrql();
    // KeReleaseSpinLock runs at DISPATCH_LEVEL, where the acquire put the
    // caller (Driver Verifier 0xC4/0x32 reports a release at another IRQL).
    if (now != DISPATCH_LEVEL) {
        hk::ReportViolation("SPIN_LOCK_IRQL", hk::ImageOfAddress(caller),
                            Describe("KfReleaseSpinLock", SpinLock) + " at IRQL " + std::to_string(now) +
                                ", not DISPATCH_LEVEL (Driver Verifier 0xC4/0x32)");
    }
    if (NewIrql > now) {
        hk::ReportViolation("IRQL_MISMATCH", hk::ImageOfAddress(caller),
                            Describe("KfReleaseSpinLock", SpinLock) + " raising from " + std::to_string(now) +
                                " to " + std::to_string(NewIrql));
        return;
    }
    hk::SetCurrentIrql(NewIrql);
}

// The list routines return the entry that was first before the call (NULL
// for an empty list), so a caller can tell whether it made the list busy.
PLIST_ENTRY FASTCALL ExfInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock)
{
    hk::internal::LockSpinWord(Lock, __builtin_return_address(0));
    PLIST_ENTRY first = IsListEmpty(ListHead) ? nullptr : ListHead->Flink;
    InsertHeadList(ListHead, ListEntry);
    hk::internal::UnlockSpinWord(Lock);
    return first;
}

PLIST_ENTRY FASTCALL ExfInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock)
{
    hk::internal::LockSpinWord(Lock, __builtin_return_address(0));
    PLIST_ENTRY first = IsListEmpty(ListHead) ? nullptr : ListHead->Flink;
    InsertTailList(ListHead, ListEntry);
    hk::internal::UnlockSpinWord(Lock);
    return first;
}

PLIST_ENTRY FASTCALL ExfInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock)
{
    hk::internal::LockSpinWord(Lock, __builtin_return_address(0));
    PLIST_ENTRY first = IsListEmpty(ListHead) ? nullptr : RemoveHeadList(ListHead);
    hk::internal::UnlockSpinWord(Lock);
    return first;
}

}  // extern "C"
