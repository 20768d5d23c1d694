// The fixture itself: what it lets through and what fails a test.
#include "support/kernel_test.h"

#include <gtest/gtest-spi.h>

namespace hk::test {
namespace {

// A fixture instance driven by hand, so its verdict can be observed.
class Probe : public KernelTest {
public:
    using KernelTest::ExpectViolation;
    using KernelTest::SetUp;
    using KernelTest::TearDown;
    void TestBody() override {}
};

Probe *probe;

TEST(KernelTestFixture, OnlyViolationsNotExpectedFailTheTest)
{
    Probe instance;
    probe = &instance;
    probe->SetUp();
    ReportViolation("POOL_LEAK", "mpsfilt", "first");
    ReportViolation("IRP_NOT_COMPLETED", "mpsbus", "second");
    ReportViolation("POOL_LEAK", "mpsfilt", "third");
    EXPECT_EQ(2u, probe->ExpectViolation("POOL_LEAK"));
    EXPECT_EQ(0u, probe->ExpectViolation("POOL_LEAK"));  // consumed once only
    EXPECT_NONFATAL_FAILURE(probe->TearDown(), "IRP_NOT_COMPLETED by mpsbus: second");
    ResetKernel();
}

TEST(KernelTestFixture, PoolThatImagesStillHoldAtTheEndIsALeak)
{
    Probe instance;
    probe = &instance;
    probe->SetUp();
    // Without devices it is unloaded by the fixture, which finds its leak;
    // with its device left, it stays loaded and its pool is what is left.
    ASSERT_EQ(STATUS_SUCCESS, LoadDriver("leakydrv").entryStatus);
    ASSERT_EQ(STATUS_SUCCESS, LoadDriver("tinydrv").entryStatus);
    EXPECT_NONFATAL_FAILURE(probe->TearDown(), "2 unexpected verifier violation(s)");
    EXPECT_EQ(nullptr, DriverOf("leakydrv"));
    EXPECT_NE(nullptr, DriverOf("tinydrv"));
    ResetKernel();
    EXPECT_EQ(nullptr, DriverOf("tinydrv"));
    EXPECT_EQ(0u, LivePoolCount());
}

}  // namespace
}  // namespace hk::test
