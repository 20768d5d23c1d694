/*
 * Kernel events that block real threads. The signal state lives in the
 * KEVENT itself, as drivers may look at it; every change and every wait goes
 * through one process-wide mutex and condition variable, which is never the
 * bookkeeping lock, so a blocked thread holds nothing another thread needs.
 */
#include "irql_rules.h"
#include "sync_internal.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <sstream>

namespace {

std::mutex eventMutex;
std::condition_variable eventSignalled;
// Threads blocked in a wait, by event; changed under eventMutex.
std::map<const KEVENT *, unsigned> waiting;

// Windows system time counts 100 ns units from 1601; Unix time from 1970.
constexpr long long kUnixEpochIn100ns = 116444736000000000LL;

bool IsEvent(const KEVENT *event)
{
    return event->Header.Type == NotificationEvent || event->Header.Type == SynchronizationEvent;
}

// Relative timeouts are negative; positive ones are absolute system times.
std::chrono::steady_clock::time_point DeadlineOf(LONGLONG timeout)
{
    using namespace std::chrono;
    const auto now = steady_clock::now();
    if (timeout < 0) return now + duration_cast<steady_clock::duration>(nanoseconds(-timeout * 100));
    const long long systemNow =
        duration_cast<nanoseconds>(system_clock::now().time_since_epoch()).count() / 100 + kUnixEpochIn100ns;
    const long long remaining = timeout > systemNow ? timeout - systemNow : 0;
    return now + duration_cast<steady_clock::duration>(nanoseconds(remaining * 100));
}

}  // namespace

namespace hk::internal {

NTSTATUS WaitForEvent(PKEVENT event, const LARGE_INTEGER *timeout, const void *caller, bool checkIrql)
{
    const bool blocks = timeout == nullptr || timeout->QuadPart != 0;
    if (checkIrql) {
        using hk::internal::Ddi;
        hk::internal::CheckIrql(blocks ? Ddi::KeWaitForSingleObject : Ddi::KeWaitForSingleObjectNoWait, caller);
    }
    if (!IsEvent(event)) {
        std::ostringstream why;
        why << "IRQL_NOT_LESS_OR_EQUAL (" << event << ", " << int(hk::CurrentIrql()) << ", 0, 0): KeWaitForSingleObject on " << event << ", which is not an initialised event (called from "
            << hk::ImageOfAddress(caller) << ")";
        hk::BugCheck(0x0A, why.str());
    }

    std::unique_lock<std::mutex> hold(eventMutex);
    const auto signalled = [event] { return event->Header.SignalState != 0; };
    if (!signalled() && blocks) {
        // Parked: a test may wait for this instead of guessing with a clock.
        ++waiting[event];
        eventSignalled.notify_all();
        bool woken = true;
        if (timeout == nullptr) eventSignalled.wait(hold, signalled);
        else woken = eventSignalled.wait_until(hold, DeadlineOf(timeout->QuadPart), signalled);
        if (--waiting[event] == 0) waiting.erase(event);
        if (!woken) return STATUS_TIMEOUT;
    } else if (!signalled()) {
        return STATUS_TIMEOUT;
    }
    // A synchronization event lets exactly one waiter through per signal.
    if (event->Header.Type == SynchronizationEvent) event->Header.SignalState = 0;
    return STATUS_SUCCESS;
}

}  // namespace hk::internal

namespace hk {

unsigned ThreadsWaitingOn(const KEVENT *event)
{
    std::lock_guard<std::mutex> hold(eventMutex);
    const auto found = waiting.find(event);
    return found == waiting.end() ? 0 : found->second;
}

bool AwaitWaiterOn(const KEVENT *event, const std::function<bool()> &instead)
{
    for (;;) {
        {
            std::unique_lock<std::mutex> hold(eventMutex);
            const auto parked = [event] { return event ? waiting.count(event) != 0 : !waiting.empty(); };
            if (eventSignalled.wait_for(hold, std::chrono::milliseconds(2), parked)) return true;
        }
        if (instead()) return false;
    }
}

}  // namespace hk

extern "C" {

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    std::lock_guard<std::mutex> hold(eventMutex);
    Event->Header.Type = UCHAR(Type);
    Event->Header.Absolute = 0;
    Event->Header.Size = UCHAR(sizeof(KEVENT) / sizeof(LONG));
    Event->Header.Inserted = 0;
    Event->Header.SignalState = State ? 1 : 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN Wait)
{
    using hk::internal::Ddi;
    hk::internal::CheckIrql(Wait ? Ddi::KeSetEventThenWait : Ddi::KeSetEvent, __builtin_return_address(0));
    std::lock_guard<std::mutex> hold(eventMutex);
    const LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    eventSignalled.notify_all();
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event)
{
    std::lock_guard<std::mutex> hold(eventMutex);
    Event->Header.SignalState = 0;
}

LONG NTAPI KeResetEvent(PRKEVENT Event)
{
    std::lock_guard<std::mutex> hold(eventMutex);
    const LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event)
{
    std::lock_guard<std::mutex> hold(eventMutex);
    return Event->Header.SignalState;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Timeout)
{
    return hk::internal::WaitForEvent(static_cast<PKEVENT>(Object), Timeout, __builtin_return_address(0), true);
}

}  // extern "C"
