// Remove locks: release-and-wait really waits for other holders, and every
// misuse the checked form catches is reported and contained.
#include "support/kernel_test.h"
#include <hk/host.h>

#include "platform/src/internal.h"

#include <atomic>
#include <functional>
#include <chrono>
#include <thread>

namespace {

// What the dispatch routine of the remover's device runs for the removal.
std::function<void()> removalBody;

NTSTATUS NTAPI RemoverDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_REMOVE_DEVICE && removalBody) removalBody();
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    IoDeleteDevice(device);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RemoverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->MajorFunction[IRP_MJ_PNP] = RemoverDispatch;
    return STATUS_SUCCESS;
}

class RemoveLockTest : public hk::test::KernelTest {
protected:
    void SetUp() override
    {
        hk::test::KernelTest::SetUp();
        IoInitializeRemoveLock(&lock, 0x74736554, 0, 0);
    }

    // Runs |body| where release-and-wait belongs: in the processing of
    // IRP_MN_REMOVE_DEVICE, by the dispatch routine of a device that goes.
    void DuringRemoval(std::function<void()> body)
    {
        PDRIVER_OBJECT driver = hk::LoadBuiltinDriver("remover", RemoverEntry, nullptr);
        PDEVICE_OBJECT device = nullptr;
        ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
        removalBody = std::move(body);
        EXPECT_EQ(hk::SendIrpSync(device, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, nullptr), STATUS_SUCCESS);
        removalBody = nullptr;
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
        DuringRemoval([&] {
            IoAcquireRemoveLock(&lock, &removeTag);
            IoReleaseRemoveLockAndWait(&lock, &removeTag);
            returnedAt = ++sequence;
        });
    });
    // Once the remover has started waiting, new acquisitions fail.
    while (!__atomic_load_n(&lock.Common.Removed, __ATOMIC_SEQ_CST)) std::this_thread::yield();
    EXPECT_EQ(IoAcquireRemoveLock(&lock, &dispatchTag), STATUS_DELETE_PENDING);
    // Parked in its wait for the holder, not returned.
    EXPECT_TRUE(hk::AwaitWaiterOn(&lock.Common.RemoveEvent, [&] { return returnedAt.load() != 0; }));
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
    DuringRemoval([&] { IoReleaseRemoveLockAndWait(&lock, &removeTag); });  // no other holder: returns at once
    EXPECT_TRUE(lock.Common.Removed);

    EXPECT_EQ(IoAcquireRemoveLock(&lock, &dispatchTag), STATUS_DELETE_PENDING);
    EXPECT_EQ(lock.Common.IoCount, 0);

    IoReleaseRemoveLock(&lock, &removeTag);
    EXPECT_EQ(ExpectViolation("REMOVE_LOCK_AFTER_WAIT"), 1u);
    DuringRemoval([&] { IoReleaseRemoveLockAndWait(&lock, &removeTag); });  // must not block
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
        DuringRemoval([&] { IoReleaseRemoveLockAndWait(&lock, &removeTag); });
        returned = true;
    });
    while (!__atomic_load_n(&lock.Common.Removed, __ATOMIC_SEQ_CST)) std::this_thread::yield();
    EXPECT_TRUE(hk::AwaitWaiterOn(&lock.Common.RemoveEvent, [&] { return returned.load(); }))
        << "the removal returned under a holder";
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
    DuringRemoval([&] { IoReleaseRemoveLockAndWait(&lock, &removeTag); });
    hk::internal::ForgetRemoveLocksIn(&lock, sizeof(lock));

    IoInitializeRemoveLock(&lock, 0, 0, 0);
    EXPECT_EQ(IoAcquireRemoveLock(&lock, &dispatchTag), STATUS_SUCCESS);
    IoReleaseRemoveLock(&lock, &dispatchTag);
}

}  // namespace
