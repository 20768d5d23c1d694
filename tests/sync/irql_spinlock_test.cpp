// IRQL per thread, spin locks and the interlocked list routines.
#include "support/kernel_test.h"

#include <thread>

namespace {

using IrqlTest = hk::test::KernelTest;
using SpinLockTest = hk::test::KernelTest;
using InterlockedListTest = hk::test::KernelTest;
using SpinLockDeathTest = hk::test::KernelTest;

TEST_F(IrqlTest, RaiseAndLowerAreCheckedAndKeptPerThread)
{
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);

    KIRQL otherThreads = HIGH_LEVEL;
    std::thread([&] { otherThreads = KeGetCurrentIrql(); }).join();
    EXPECT_EQ(otherThreads, PASSIVE_LEVEL);

    // Wrong directions are reported and leave the level alone.
    KeRaiseIrql(APC_LEVEL, &old);
    EXPECT_EQ(ExpectViolation("IRQL_MISMATCH"), 1u);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeLowerIrql(PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KeLowerIrql(APC_LEVEL);
    EXPECT_EQ(ExpectViolation("IRQL_MISMATCH"), 1u);
    EXPECT_EQ(hk::CurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(SpinLockTest, RaisesToDispatchAndRestoresTheCallersLevel)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    hk::SetCurrentIrql(DISPATCH_LEVEL);
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(old, DISPATCH_LEVEL);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
}

// Two threads adding under one lock lose no update only if the lock excludes.
TEST_F(SpinLockTest, GuardedCounterLosesNoUpdates)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    volatile unsigned counter = 0;
    constexpr unsigned kRounds = 50000;
    auto work = [&] {
        for (unsigned i = 0; i < kRounds; ++i) {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            counter = counter + 1;
            KeReleaseSpinLock(&lock, old);
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 2 * kRounds);
}

TEST_F(SpinLockTest, MisuseIsReported)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    // Released without being held, and at PASSIVE_LEVEL at that.
    KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
    EXPECT_EQ(ExpectViolation("SPIN_LOCK_IRQL"), 2u);

    hk::SetCurrentIrql(HIGH_LEVEL);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(ExpectViolation("IRQL_TOO_HIGH"), 1u);
    EXPECT_EQ(KeGetCurrentIrql(), HIGH_LEVEL);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(ExpectViolation("SPIN_LOCK_IRQL"), 1u);
    EXPECT_EQ(KeGetCurrentIrql(), HIGH_LEVEL);
    EXPECT_EQ(lock, 0u);
}

TEST_F(SpinLockDeathTest, OwnerTakingItsLockAgainStops)
{
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    auto takeTwice = [&lock] {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        KeAcquireSpinLock(&lock, &old);
    };
    EXPECT_DEATH(takeTwice(), "acquired again by its owner");
}

struct Item {
    LIST_ENTRY link;
    int id;
};

int IdOf(PLIST_ENTRY entry) { return entry ? CONTAINING_RECORD(entry, Item, link)->id : -1; }

TEST_F(InterlockedListTest, InsertAndRemoveKeepOrderAndReportThePreviousHead)
{
    LIST_ENTRY head;
    KSPIN_LOCK lock;
    InitializeListHead(&head);
    KeInitializeSpinLock(&lock);
    Item a{{}, 1}, b{{}, 2}, c{{}, 3};

    EXPECT_EQ(ExInterlockedInsertTailList(&head, &a.link, &lock), nullptr);
    EXPECT_EQ(IdOf(ExInterlockedInsertTailList(&head, &b.link, &lock)), 1);
    EXPECT_EQ(IdOf(ExInterlockedInsertHeadList(&head, &c.link, &lock)), 1);

    EXPECT_EQ(IdOf(ExInterlockedRemoveHeadList(&head, &lock)), 3);
    EXPECT_EQ(IdOf(ExInterlockedRemoveHeadList(&head, &lock)), 1);
    EXPECT_EQ(IdOf(ExInterlockedRemoveHeadList(&head, &lock)), 2);
    EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), nullptr);
    EXPECT_TRUE(IsListEmpty(&head));
    EXPECT_EQ(lock, 0u);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(InterlockedListTest, ConcurrentInsertersKeepTheListWhole)
{
    LIST_ENTRY head;
    KSPIN_LOCK lock;
    InitializeListHead(&head);
    KeInitializeSpinLock(&lock);
    constexpr int kPerThread = 20000;
    std::vector<Item> items(2 * kPerThread);
    auto insert = [&](int first, bool atHead) {
        for (int i = first; i < first + kPerThread; ++i) {
            items[i].id = i;
            if (atHead) {
                ExInterlockedInsertHeadList(&head, &items[i].link, &lock);
            } else {
                ExInterlockedInsertTailList(&head, &items[i].link, &lock);
            }
        }
    };
    std::thread a(insert, 0, false), b(insert, kPerThread, true);
    a.join();
    b.join();

    int forward = 0, backward = 0;
    for (PLIST_ENTRY e = head.Flink; e != &head && forward <= 2 * kPerThread; e = e->Flink) ++forward;
    for (PLIST_ENTRY e = head.Blink; e != &head && backward <= 2 * kPerThread; e = e->Blink) ++backward;
    EXPECT_EQ(forward, 2 * kPerThread);
    EXPECT_EQ(backward, 2 * kPerThread);
}

}  // namespace
