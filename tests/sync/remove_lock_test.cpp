// Remove locks: release-and-wait really waits for other holders, and every
// misuse the checked form catches is reported and contained.
#include "support/kernel_test.h"

#include "platform/src/internal.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

class RemoveLockTest : public hk::test::KernelTest {
protected:
    void SetUp() override
    {
        hk::test::KernelTest::SetUp();
        IoInitializeRemoveLock(&lock, 0x74736554, 0, 0);
    }

    IO_REMOVE_LOCK lock;
    int dispatchTag = 0, otherTag = 0, removeTag = 0;
};

TEST_F(RemoveLockTest, CountsEachAcquisitionFromOne)
{
    EXPECT_EQ(lock.Common.IoCount, 1);
    EXPECT_FALSE(lock.Common.Removed);
    EXPECT_EQ(IoAcquireRemoveLock(&lock, &dispatchTag), STATUS_SUCCESS);
    EXPECT_EQ(IoAcquireRemoveLock(&lock, &dispatchTag), STATUS_SUCCESS);
    EXPECT_EQ(IoAcquireRemoveLock(&lock, &otherTag), STATUS_SUCCESS);
    EXPECT_EQ(lock.Common.IoCount, 4);
    IoReleaseRemoveLock(&lock, &dispatchTag);
    IoReleaseRemoveLock(&lock, &otherTag);
    IoReleaseRemoveLock(&lock, &dispatchTag);
    EXPECT_EQ(lock.Common.IoCount, 1);
}

TEST_F(RemoveLockTest, ReleaseAndWaitReturnsOnlyAfterTheLastHolderReleases)
{
    ASSERT_EQ(IoAcquireRemoveLock(&lock, &otherTag), STATUS_SUCCESS);
    std::atomic<int> sequence{0}, releasedAt{0}, returnedAt{0};

    std::thread remover([&] {
        IoAcquireRemoveLock(&lock, &removeTag);
        IoReleaseRemoveLockAndWait(&lock, &removeTag);
        returnedAt = ++sequence;
    });
    // Once the remover has started waiting, new acquisitions fail.
    while (!__atomic_load_n(&lock.Common.Removed, __ATOMIC_SEQ_CST)) std::this_thread::yield();
    EXPECT_EQ(IoAcquireRemoveLock(&lock, &dispatchTag), STATUS_DELETE_PENDING);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(returnedAt.load(), 0);

    releasedAt = ++sequence;
    IoReleaseRemoveLock(&lock, &otherTag);
    remover.join();
    EXPECT_GT(returnedAt.load(), releasedAt.load());
    EXPECT_EQ(lock.Common.IoCount, 0);
}

TEST_F(RemoveLockTest, UseAfterReleaseAndWaitIsRefusedAndReported)
{
    ASSERT_EQ(IoAcquireRemoveLock(&lock, &removeTag), STATUS_SUCCESS);
    IoReleaseRemoveLockAndWait(&lock, &removeTag);  // no other holder: returns at once
    EXPECT_TRUE(lock.Common.Removed);

    EXPECT_EQ(IoAcquireRemoveLock(&lock, &dispatchTag), STATUS_DELETE_PENDING);
    EXPECT_EQ(lock.Common.IoCount, 0);

    IoReleaseRemoveLock(&lock, &removeTag);
    EXPECT_EQ(ExpectViolation("REMOVE_LOCK_AFTER_WAIT"), 1u);
    IoReleaseRemoveLockAndWait(&lock, &removeTag);  // must not block
    EXPECT_EQ(ExpectViolation("REMOVE_LOCK_AFTER_WAIT"), 1u);
    EXPECT_EQ(lock.Common.IoCount, 0);

    IoInitializeRemoveLock(&lock, 0, 0, 0);
    EXPECT_EQ(ExpectViolation("REMOVE_LOCK_REINITIALIZED"), 1u);
    EXPECT_EQ(IoAcquireRemoveLock(&lock, &dispatchTag), STATUS_DELETE_PENDING);
}

TEST_F(RemoveLockTest, OverReleaseIsReportedPerTagAndCountsNothing)
{
    IoReleaseRemoveLock(&lock, &dispatchTag);  // never acquired
    EXPECT_EQ(ExpectViolation("REMOVE_LOCK_OVER_RELEASE"), 1u);

    ASSERT_EQ(IoAcquireRemoveLock(&lock, &dispatchTag), STATUS_SUCCESS);
    ASSERT_EQ(IoAcquireRemoveLock(&lock, &otherTag), STATUS_SUCCESS);
    IoReleaseRemoveLock(&lock, &dispatchTag);
    IoReleaseRemoveLock(&lock, &dispatchTag);  // other tag still holds one
    EXPECT_EQ(ExpectViolation("REMOVE_LOCK_OVER_RELEASE"), 1u);
    EXPECT_EQ(lock.Common.IoCount, 2);

    // The count stayed true, so removal (by a tag that never acquired)
    // still waits for the real holder.
    std::atomic<bool> returned{false};
    std::thread remover([&] {
        IoReleaseRemoveLockAndWait(&lock, &removeTag);
        returned = true;
    });
    while (!__atomic_load_n(&lock.Common.Removed, __ATOMIC_SEQ_CST)) std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(returned.load());
    EXPECT_EQ(__atomic_load_n(&lock.Common.IoCount, __ATOMIC_SEQ_CST), 1);
    IoReleaseRemoveLock(&lock, &otherTag);
    remover.join();
    EXPECT_EQ(ExpectViolation("REMOVE_LOCK_OVER_RELEASE"), 1u);
    EXPECT_EQ(KeReadStateEvent(&lock.Common.RemoveEvent), 1);
}

TEST_F(RemoveLockTest, EveryCallChecksTheLockSize)
{
    EXPECT_EQ(IoAcquireRemoveLockEx(&lock, &dispatchTag, __FILE__, __LINE__, sizeof(IO_REMOVE_LOCK_COMMON_BLOCK)),
              STATUS_SUCCESS);
    IoReleaseRemoveLockEx(&lock, &dispatchTag, 24);
    EXPECT_EQ(ExpectViolation("REMOVE_LOCK_SIZE_MISMATCH"), 2u);
    EXPECT_EQ(lock.Common.IoCount, 1);
}

TEST_F(RemoveLockTest, FreedStorageCanHoldAFreshLock)
{
    ASSERT_EQ(IoAcquireRemoveLock(&lock, &removeTag), STATUS_SUCCESS);
    IoReleaseRemoveLockAndWait(&lock, &removeTag);
    hk::internal::ForgetRemoveLocksIn(&lock, sizeof(lock));

    IoInitializeRemoveLock(&lock, 0, 0, 0);
    EXPECT_EQ(IoAcquireRemoveLock(&lock, &dispatchTag), STATUS_SUCCESS);
    IoReleaseRemoveLock(&lock, &dispatchTag);
}

}  // namespace
