// MmMapIoSpace / MmUnmapIoSpace: the record of live mappings and its checks.
#include "support/kernel_test.h"

namespace {

using MappingTest = hk::test::KernelTest;

PHYSICAL_ADDRESS Physical(LONGLONG address)
{
    PHYSICAL_ADDRESS p;
    p.QuadPart = address;
    return p;
}

TEST_F(MappingTest, MapGivesZeroedMemoryAndRecordsIt)
{
    auto *regs = static_cast<UCHAR *>(MmMapIoSpace(Physical(0xFEBF0000), 64, MmNonCached));
    ASSERT_NE(regs, nullptr);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(regs[i], 0) << i;
    regs[63] = 0xAA;

    const std::vector<hk::Mapping> live = hk::LiveMappings();
    ASSERT_EQ(live.size(), 1u);
    EXPECT_EQ(live[0].address, regs);
    EXPECT_EQ(live[0].physical, 0xFEBF0000u);
    EXPECT_EQ(live[0].length, 64u);
    EXPECT_EQ(live[0].owner, "host");

    MmUnmapIoSpace(regs, 64);
    EXPECT_TRUE(hk::LiveMappings().empty());
}

TEST_F(MappingTest, ForgottenMappingIsReportedAsLeak)
{
    PVOID kept = MmMapIoSpace(Physical(0xD0000), 16, MmNonCached);
    PVOID returned = MmMapIoSpace(Physical(0xD1000), 16, MmNonCached);
    ASSERT_NE(kept, nullptr);
    ASSERT_NE(returned, nullptr);
    MmUnmapIoSpace(returned, 16);
    EXPECT_EQ(hk::ReportLiveMappings("at the end of the test"), 1u);
    EXPECT_EQ(ExpectViolation("MAPPING_LEAK"), 1u);
    MmUnmapIoSpace(kept, 16);
}

TEST_F(MappingTest, UnmappingWhatWasNotMappedIsAMismatch)
{
    UCHAR notMapped[16];
    MmUnmapIoSpace(notMapped, sizeof(notMapped));
    EXPECT_EQ(ExpectViolation("MAPPING_MISMATCH"), 1u);

    PVOID regs = MmMapIoSpace(Physical(0xD0000), 32, MmNonCached);
    ASSERT_NE(regs, nullptr);
    MmUnmapIoSpace(regs, 16);
    EXPECT_EQ(ExpectViolation("MAPPING_MISMATCH"), 1u);
    EXPECT_TRUE(hk::LiveMappings().empty());
    MmUnmapIoSpace(regs, 32);  // already gone
    EXPECT_EQ(ExpectViolation("MAPPING_MISMATCH"), 1u);
}

TEST_F(MappingTest, InjectedFaultFailsExactlyThatCall)
{
    hk::FailNthCall(hk::Service::MapIoSpace, 2);
    PVOID first = MmMapIoSpace(Physical(0xD0000), 8, MmNonCached);
    PVOID second = MmMapIoSpace(Physical(0xD1000), 8, MmNonCached);
    PVOID third = MmMapIoSpace(Physical(0xD2000), 8, MmNonCached);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(hk::CallCount(hk::Service::MapIoSpace), 3u);
    EXPECT_EQ(hk::LiveMappings().size(), 2u);
    MmUnmapIoSpace(first, 8);
    MmUnmapIoSpace(third, 8);
}

}  // namespace
