// Loading mpsbus: what it refuses, what it registers, and that a failed or
// finished load leaves no pool behind.
#include "mpsbus_test.h"

namespace mpsbustest {
namespace {

class DriverEntryTest : public MpsbusTest {};

TEST_F(DriverEntryTest, AWdm10KernelIsRefusedWithNothingAllocated)
{
    hk::SetWdmVersion(1, 0);
    hk::LoadedDriver loaded = hk::LoadDriver("mpsbus");
    EXPECT_EQ(loaded.entryStatus, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(hk::DriverOf("mpsbus"), nullptr);
    EXPECT_EQ(hk::LivePoolCount("mpsbus"), 0u);
    EXPECT_EQ(hk::CallCount(hk::Service::Pool), 0u) << "the version is checked before anything is taken";
}

TEST_F(DriverEntryTest, AFailedPathCopyRefusesTheLoad)
{
    hk::FailNthCall(hk::Service::Pool, 1);
    hk::LoadedDriver loaded = hk::LoadDriver("mpsbus");
    EXPECT_EQ(loaded.entryStatus, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(hk::DriverOf("mpsbus"), nullptr);
    EXPECT_EQ(hk::LivePoolCount("mpsbus"), 0u);
}

TEST_F(DriverEntryTest, RegistersOnlyPnpPowerAndWmiAndKeepsAPathCopyUntilUnload)
{
    PDRIVER_OBJECT driver = Load();
    ASSERT_NE(driver, nullptr);
    EXPECT_NE(driver->DriverExtension->AddDevice, nullptr);
    EXPECT_NE(driver->DriverUnload, nullptr);

    // Every slot left alone holds the I/O manager's default routine.
    PDRIVER_DISPATCH byDefault = driver->MajorFunction[IRP_MJ_CREATE];
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        bool own = major == IRP_MJ_PNP || major == IRP_MJ_POWER || major == IRP_MJ_SYSTEM_CONTROL;
        if (own) EXPECT_NE(driver->MajorFunction[major], byDefault) << "major " << major;
        else EXPECT_EQ(driver->MajorFunction[major], byDefault) << "major " << major;
    }

    // The copy of the service key path: tagged paged pool, room for a NUL.
    const std::string path = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\mpsbus";
    std::vector<hk::PoolBlock> blocks;
    for (const hk::PoolBlock &block : hk::LivePool())
        if (block.owner == "mpsbus") blocks.push_back(block);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].tag, MPS_POOL_TAG);
    EXPECT_EQ(blocks[0].type, PagedPool);
    EXPECT_EQ(blocks[0].size, path.size() * 2 + 2);
    EXPECT_EQ(hk::Narrow(static_cast<const wchar_t *>(blocks[0].address)), path);

    hk::UnloadDriver("mpsbus");
    EXPECT_EQ(hk::LivePoolCount("mpsbus"), 0u);
}

}  // namespace
}  // namespace mpsbustest
