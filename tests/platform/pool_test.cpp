// Pool tracking and fault injection.
#include "support/kernel_test.h"

#include <algorithm>

namespace hk::test {
namespace {

constexpr ULONG kTag = 'tseT';

class PoolTest : public KernelTest {};

const PoolBlock *Find(const std::vector<PoolBlock> &blocks, const void *address)
{
    auto found = std::find_if(blocks.begin(), blocks.end(), [&](const PoolBlock &b) { return b.address == address; });
    return found == blocks.end() ? nullptr : &*found;
}

TEST_F(PoolTest, LiveBlocksAreRecordedAndNotZeroed)
{
    auto *block = static_cast<unsigned char *>(ExAllocatePoolWithTag(PagedPool, 24, kTag));
    ASSERT_NE(nullptr, block);
    const std::vector<PoolBlock> live = LivePool();
    const PoolBlock *record = Find(live, block);
    ASSERT_NE(nullptr, record);
    EXPECT_EQ(kTag, record->tag);
    EXPECT_EQ(PagedPool, record->type);
    EXPECT_EQ(24u, record->size);
    EXPECT_EQ("host", record->owner);
    // Drivers must clear what they rely on, as on Windows.
    EXPECT_TRUE(std::any_of(block, block + 24, [](unsigned char b) { return b != 0; }));

    EXPECT_EQ(1u, ReportLeaks("host", "now"));
    EXPECT_EQ(1u, ExpectViolation("POOL_LEAK"));
    EXPECT_EQ(1u, LivePoolCount());  // reporting frees nothing
    ExFreePoolWithTag(block, kTag);
    EXPECT_EQ(0u, LivePoolCount());
}

TEST_F(PoolTest, WrongFreesAreReportedAndLeaveLiveBlocksAlone)
{
    void *first = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
    ExFreePool(first);
    void *second = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
    ExFreePool(first);
    EXPECT_EQ(1u, ExpectViolation("POOL_DOUBLE_FREE"));

    int onTheStack = 0;
    ExFreePool(static_cast<char *>(second) + 4);
    ExFreePool(&onTheStack);
    ExFreePoolWithTag(second, 'gnrW');
    EXPECT_EQ(3u, ExpectViolation("POOL_BAD_FREE"));

    ASSERT_EQ(1u, LivePoolCount());
    ExFreePoolWithTag(second, kTag);
    EXPECT_EQ(0u, LivePoolCount());
}

TEST_F(PoolTest, PagedPoolAboveApcLevelIsReported)
{
    SetCurrentIrql(DISPATCH_LEVEL);
    void *nonPaged = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    void *paged = ExAllocatePoolWithTag(PagedPool, 8, kTag);
    EXPECT_EQ(1u, ExpectViolation("IRQL_TOO_HIGH"));
    ExFreePool(nonPaged);
    ExFreePool(paged);
    EXPECT_EQ(1u, ExpectViolation("IRQL_TOO_HIGH"));
    SetCurrentIrql(APC_LEVEL);
    ExFreePool(ExAllocatePoolWithTag(PagedPool, 8, kTag));
    SetCurrentIrql(PASSIVE_LEVEL);
    EXPECT_EQ(0u, LivePoolCount());
}

// One call of each fallible kind this module owns, in a fixed order.
std::vector<bool> RunFallibleCalls(PDRIVER_OBJECT driver)
{
    std::vector<bool> failed;
    void *block = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    failed.push_back(block == nullptr);
    PIRP irp = IoAllocateIrp(2, FALSE);
    failed.push_back(irp == nullptr);
    PDEVICE_OBJECT device = nullptr;
    const NTSTATUS created = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    failed.push_back(created == STATUS_INSUFFICIENT_RESOURCES && device == nullptr);
    void *another = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
    failed.push_back(another == nullptr);
    if (block) ExFreePool(block);
    if (another) ExFreePool(another);
    if (irp) IoFreeIrp(irp);
    if (device) IoDeleteDevice(device);
    return failed;
}

NTSTATUS NTAPI EmptyEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

TEST_F(PoolTest, FaultsHitTheNthCallOfAServiceOrOverall)
{
    PDRIVER_OBJECT driver = LoadBuiltinDriver("faulty", EmptyEntry, nullptr);
    ASSERT_NE(nullptr, driver);

    ResetFaults();
    FailNthCall(Service::Pool, 2);
    EXPECT_EQ((std::vector<bool>{false, false, false, true}), RunFallibleCalls(driver));
    EXPECT_EQ(2u, CallCount(Service::Pool));
    EXPECT_EQ(1u, CallCount(Service::Irp));
    EXPECT_EQ(4u, TotalCallCount());

    ResetFaults();
    FailNthCallOverall(3);
    EXPECT_EQ((std::vector<bool>{false, false, true, false}), RunFallibleCalls(driver));

    ResetFaults();
    FailNthCall(Service::Irp, 1);
    EXPECT_EQ((std::vector<bool>{false, true, false, false}), RunFallibleCalls(driver));
    EXPECT_EQ(0u, CallCount(Service::Attach));
    EXPECT_STREQ("CreateDevice", ServiceName(Service::CreateDevice));
}

TEST_F(PoolTest, SweepFailsEachCountedCallOnceAfterACleanRun)
{
    PDRIVER_OBJECT driver = LoadBuiltinDriver("faulty", EmptyEntry, nullptr);
    std::vector<bool> outcome;
    std::vector<unsigned> checked;
    Sweep([&] { outcome = RunFallibleCalls(driver); },
          [&](unsigned failing) {
              checked.push_back(failing);
              std::vector<bool> expected(4, false);
              if (failing != 0) expected[failing - 1] = true;
              EXPECT_EQ(expected, outcome) << "failing call " << failing;
              EXPECT_EQ(0u, LivePoolCount());
          });
    EXPECT_EQ((std::vector<unsigned>{0, 1, 2, 3, 4}), checked);
    EXPECT_EQ(0u, TotalCallCount());  // the plan is gone afterwards
}

}  // namespace
}  // namespace hk::test
