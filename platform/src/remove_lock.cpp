/*
 * Remove locks in their checked form. The lock itself keeps the count,
 * the Removed flag and the event that release-and-wait blocks on, exactly as
 * drivers see them; the checking lives in a host-side record per lock (keyed
 * by its address): the tags held with their counts and whether
 * release-and-wait has run, so misuse is reported with the tag involved.
 */
#include "irql_rules.h"
#include "sync_internal.h"

#include <map>
#include <mutex>
#include <sstream>

namespace {

enum class Phase { Active, Waiting, Removed };

struct LockRecord {
    std::map<const void *, long> held;  // tag -> acquisitions not yet released
    Phase phase = Phase::Active;
};

constexpr LONG kRemoveLockSignature = 'lRmI';
constexpr LONGLONG kTicksPerMinute = 60LL * 10 * 1000 * 1000;

// Guards the records and every change of a lock's count; never held while
// release-and-wait blocks.
std::mutex recordMutex;
std::map<const void *, LockRecord> records;

std::string Describe(const char *routine, const void *lock, const void *tag)
{
    std::ostringstream text;
    text << routine << "(" << lock << ", tag " << tag << ")";
    return text.str();
}

// The drivers use the checked layout and say so in every call; a caller
// passing another size was built against a different lock.
void CheckSize(ULONG size, const char *routine, const void *lock, const void *caller)
{
    if (size == sizeof(IO_REMOVE_LOCK)) return;
    hk::ReportViolation("REMOVE_LOCK_SIZE_MISMATCH", hk::ImageOfAddress(caller),
                        Describe(routine, lock, nullptr) + " with size " + std::to_string(size) + ", not " +
                            std::to_string(sizeof(IO_REMOVE_LOCK)));
}

LockRecord &RecordOf(const void *lock) { return records[lock]; }

// A lock whose storage has been freed (its pool block, or the extension of a
// deleted device object): its record went with the storage. Under Driver
// Verifier's special pool the access faults (bug check 0xD5,
// DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL); without it the count and event
// are freed memory that the pool may have handed to someone else. Reported,
// and the call goes no further than the report. recordMutex is held.
bool InFreedStorage(const char *routine, const void *lock, const void *tag, const void *caller)
{
    if (records.count(lock) != 0) return false;
    if (!hk::internal::InFreedPool(lock) && !hk::internal::InFreedDevice(lock)) return false;
    hk::ReportViolation("REMOVE_LOCK_IN_FREED_MEMORY", hk::ImageOfAddress(caller),
                        Describe(routine, lock, tag) + ": the lock lies in freed memory");
    return true;
}

// Drops one acquisition under recordMutex; the last one wakes release-and-wait.
void DropCount(PIO_REMOVE_LOCK lock)
{
    if (InterlockedDecrement(&lock->Common.IoCount) == 0) KeSetEvent(&lock->Common.RemoveEvent, 0, FALSE);
}

// Takes |tag|'s acquisition off the record; false when the tag holds none.
bool TakeTag(LockRecord &record, const void *tag)
{
    auto found = record.held.find(tag);
    if (found == record.held.end()) return false;
    if (--found->second == 0) record.held.erase(found);
    return true;
}

}  // namespace

namespace hk::internal {

void ForgetRemoveLocksIn(const void *begin, size_t length)
{
    const auto *first = static_cast<const char *>(begin);
    std::lock_guard<std::mutex> hold(recordMutex);
    for (auto it = records.lower_bound(first); it != records.end() && static_cast<const char *>(it->first) <
                                                                      first + length;) {
        hk::CountWork(hk::Work::HostWalk);
        it = records.erase(it);
    }
}

std::string RemoveLocksHeldIn(const void *begin, size_t length)
{
    const auto *first = static_cast<const char *>(begin);
    std::ostringstream held;
    std::lock_guard<std::mutex> hold(recordMutex);
    for (auto it = records.lower_bound(first); it != records.end() && static_cast<const char *>(it->first) <
                                                                      first + length;
         ++it) {
        for (const auto &[tag, count] : it->second.held) {
            held << (held.tellp() > 0 ? ", " : "") << "lock " << it->first << " tag " << tag << " x" << count;
        }
    }
    return held.str();
}

void ResetSync()
{
    {
        std::lock_guard<std::mutex> hold(recordMutex);
        records.clear();
    }
    hk::SetCurrentIrql(PASSIVE_LEVEL);
    ForgetSpinLocksHeld();
}

}  // namespace hk::internal

extern "C" {

VOID NTAPI IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                                    ULONG HighWatermark, ULONG RemlockSize)
{
    const void *caller = __builtin_return_address(0);
    hk::internal::CheckIrql(hk::internal::Ddi::IoInitializeRemoveLock, caller);
    CheckSize(RemlockSize, "IoInitializeRemoveLockEx", Lock, caller);
    std::lock_guard<std::mutex> hold(recordMutex);
    auto existing = records.find(Lock);
    if (existing != records.end() && existing->second.phase != Phase::Active) {
        // Verifier bug-checks here; the lock stays removed, so the driver
        // cannot bring a device back to life through it.
        hk::ReportViolation("REMOVE_LOCK_REINITIALIZED", hk::ImageOfAddress(caller),
                            Describe("IoInitializeRemoveLockEx", Lock, nullptr) + " after release-and-wait");
        return;
    }
    records[Lock] = LockRecord();

    Lock->Common.Removed = FALSE;
    Lock->Common.Reserved[0] = Lock->Common.Reserved[1] = Lock->Common.Reserved[2] = 0;
    Lock->Common.IoCount = 1;
    KeInitializeEvent(&Lock->Common.RemoveEvent, NotificationEvent, FALSE);
    Lock->Dbg.Signature = kRemoveLockSignature;
    Lock->Dbg.HighWatermark = LONG(HighWatermark);
    Lock->Dbg.MaxLockedTicks = LONGLONG(MaxLockedMinutes) * kTicksPerMinute;
    Lock->Dbg.AllocateTag = LONG(AllocateTag);
    InitializeListHead(&Lock->Dbg.LockList);
    Lock->Dbg.Spin = 0;
    Lock->Dbg.LowMemoryCount = 0;
    for (ULONG &word : Lock->Dbg.Reserved1) word = 0;
    Lock->Dbg.Reserved2 = nullptr;
    Lock->Dbg.Blocks = nullptr;
}

NTSTATUS NTAPI IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR, ULONG, ULONG RemlockSize)
{
    hk::internal::CheckIrql(hk::internal::Ddi::IoAcquireRemoveLock, __builtin_return_address(0));
    CheckSize(RemlockSize, "IoAcquireRemoveLockEx", RemoveLock, __builtin_return_address(0));
    std::lock_guard<std::mutex> hold(recordMutex);
    if (InFreedStorage("IoAcquireRemoveLockEx", RemoveLock, Tag, __builtin_return_address(0)))
        return STATUS_DELETE_PENDING;
    LockRecord &record = RecordOf(RemoveLock);
    if (RemoveLock->Common.Removed || record.phase != Phase::Active) return STATUS_DELETE_PENDING;
    InterlockedIncrement(&RemoveLock->Common.IoCount);
    ++record.held[Tag];
    hk::internal::NoteRemoveLockAcquired(RemoveLock, Tag);
    return STATUS_SUCCESS;
}

VOID NTAPI IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize)
{
    const void *caller = __builtin_return_address(0);
    hk::internal::CheckIrql(hk::internal::Ddi::IoReleaseRemoveLock, caller);
    CheckSize(RemlockSize, "IoReleaseRemoveLockEx", RemoveLock, caller);
    std::lock_guard<std::mutex> hold(recordMutex);
    if (InFreedStorage("IoReleaseRemoveLockEx", RemoveLock, Tag, caller)) return;
    LockRecord &record = RecordOf(RemoveLock);
    if (record.phase == Phase::Removed) {
        hk::ReportViolation("REMOVE_LOCK_AFTER_WAIT", hk::ImageOfAddress(caller),
                            Describe("IoReleaseRemoveLockEx", RemoveLock, Tag));
        return;
    }
    if (!TakeTag(record, Tag)) {
        hk::ReportViolation("REMOVE_LOCK_OVER_RELEASE", hk::ImageOfAddress(caller),
                            Describe("IoReleaseRemoveLockEx", RemoveLock, Tag) + ": tag holds no acquisition");
        return;
    }
    hk::internal::NoteRemoveLockReleased(RemoveLock, Tag);
    DropCount(RemoveLock);
}

VOID NTAPI IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize)
{
    const void *caller = __builtin_return_address(0);
    hk::internal::CheckIrql(hk::internal::Ddi::IoReleaseRemoveLockAndWait, caller);
    CheckSize(RemlockSize, "IoReleaseRemoveLockAndWaitEx", RemoveLock, caller);
    // Static Driver Verifier's remove-lock rules: release-and-wait belongs to
    // the processing of IRP_MN_REMOVE_DEVICE, after which the device goes.
    // Called elsewhere, the lock refuses every later request for a device
    // that stays.
    if (!hk::internal::InsidePnpRequest(IRP_MN_REMOVE_DEVICE)) {
        hk::ReportViolation("REMOVE_LOCK_WAIT_OUTSIDE_REMOVE", hk::ImageOfAddress(caller),
                            Describe("IoReleaseRemoveLockAndWaitEx", RemoveLock, Tag) +
                                " outside the processing of IRP_MN_REMOVE_DEVICE");
    }
    {
        std::lock_guard<std::mutex> hold(recordMutex);
        if (InFreedStorage("IoReleaseRemoveLockAndWaitEx", RemoveLock, Tag, caller)) return;
        LockRecord &record = RecordOf(RemoveLock);
        if (record.phase != Phase::Active) {
            hk::ReportViolation("REMOVE_LOCK_AFTER_WAIT", hk::ImageOfAddress(caller),
                                Describe("IoReleaseRemoveLockAndWaitEx", RemoveLock, Tag) + " called again");
            return;
        }
        record.phase = Phase::Waiting;
        RemoveLock->Common.Removed = TRUE;
        // The caller's own acquisition goes with the call; one it never took
        // is not taken from another holder.
        if (TakeTag(record, Tag)) {
            DropCount(RemoveLock);
        } else {
            hk::ReportViolation("REMOVE_LOCK_OVER_RELEASE", hk::ImageOfAddress(caller),
                                Describe("IoReleaseRemoveLockAndWaitEx", RemoveLock, Tag) +
                                    ": tag holds no acquisition");
        }
        DropCount(RemoveLock);  // the count the lock was born with
    }
    hk::internal::WaitForEvent(&RemoveLock->Common.RemoveEvent, nullptr, caller, false);

    std::lock_guard<std::mutex> hold(recordMutex);
    auto record = records.find(RemoveLock);
    if (record != records.end()) record->second.phase = Phase::Removed;
}

}  // extern "C"
