// Kernel events: real blocking across threads, the two event kinds, timeouts.
#include "support/kernel_test.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using EventTest = hk::test::KernelTest;

LARGE_INTEGER Relative100ns(LONGLONG units)
{
    LARGE_INTEGER t;
    t.QuadPart = -units;
    return t;
}

LARGE_INTEGER Poll() { return Relative100ns(0); }

TEST_F(EventTest, SetOnOneThreadReleasesAWaiterOnAnother)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<int> sequence{0};
    std::atomic<int> setAt{0}, wokeAt{0};
    NTSTATUS waitStatus = STATUS_UNSUCCESSFUL;

    std::thread waiter([&] {
        waitStatus = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        wokeAt = ++sequence;
    });
    EXPECT_TRUE(hk::AwaitWaiterOn(&event, [&] { return wokeAt.load() != 0; })) << "the wait did not block";
    EXPECT_EQ(wokeAt.load(), 0);
    setAt = ++sequence;
    EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);
    waiter.join();
    EXPECT_EQ(waitStatus, STATUS_SUCCESS);
    EXPECT_GT(wokeAt.load(), setAt.load());
}

TEST_F(EventTest, NotificationStaysSignalledSynchronizationLetsOneThrough)
{
    KEVENT notification, synchronization;
    KeInitializeEvent(&notification, NotificationEvent, TRUE);
    KeInitializeEvent(&synchronization, SynchronizationEvent, TRUE);
    LARGE_INTEGER poll = Poll();

    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&notification), 1);

    EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&synchronization), 0);
    EXPECT_EQ(KeWaitForSingleObject(&synchronization, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
}

TEST_F(EventTest, SynchronizationEventWakesOneWaiterPerSet)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::atomic<int> woken{0};
    auto wait = [&] {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        ++woken;
    };
    std::thread a(wait), b(wait);
    // Both parked before the first signal.
    while (hk::ThreadsWaitingOn(&event) < 2 && woken.load() == 0) std::this_thread::yield();
    ASSERT_EQ(woken.load(), 0);
    KeSetEvent(&event, 0, FALSE);
    while (woken.load() == 0) std::this_thread::yield();
    // The waiter let through took the signal with it, so the other stays.
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(hk::ThreadsWaitingOn(&event), 1u);
    EXPECT_EQ(woken.load(), 1);
    KeSetEvent(&event, 0, FALSE);
    a.join();
    b.join();
    EXPECT_EQ(woken.load(), 2);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(EventTest, StateRoutinesReturnThePreviousState)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 1);
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeResetEvent(&event), 0);
    KeSetEvent(&event, 0, FALSE);
    KeClearEvent(&event);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(EventTest, RelativeTimeoutExpires)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER twentyMs = Relative100ns(20 * 10000);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &twentyMs), STATUS_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
}

TEST_F(EventTest, OnlyBlockingWaitsAboveApcLevelAreReported)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    hk::SetCurrentIrql(DISPATCH_LEVEL);
    LARGE_INTEGER poll = Poll(), oneMs = Relative100ns(10000);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(ExpectViolation("IRQL_TOO_HIGH"), 0u);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &oneMs), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(ExpectViolation("IRQL_TOO_HIGH"), 2u);

    hk::SetCurrentIrql(APC_LEVEL);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
}

}  // namespace
