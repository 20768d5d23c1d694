// Driver images: loading, unloading, what is checked at unload.
#include "support/kernel_test.h"
#include <cstring>

namespace hk::test {
namespace {

class ImagesTest : public KernelTest {};

std::string TextOf(const UNICODE_STRING &counted)
{
    std::string text;
    for (USHORT i = 0; i < counted.Length / sizeof(WCHAR); ++i) text += char(counted.Buffer[i]);
    return text;
}

ULONG LoadNumberOf(PDRIVER_OBJECT driver)
{
    return *static_cast<ULONG *>(driver->DeviceObject->DeviceExtension);
}

TEST_F(ImagesTest, DriverEntryGetsItsNamesAndOwnsWhatItAllocates)
{
    LoadedDriver tiny = LoadDriver("tinydrv");
    ASSERT_EQ(STATUS_SUCCESS, tiny.entryStatus);
    ASSERT_NE(nullptr, tiny.driver);
    EXPECT_EQ(tiny.driver, DriverOf("tinydrv"));
    EXPECT_EQ("\\Driver\\tinydrv", TextOf(tiny.driver->DriverName));
    EXPECT_EQ("tinydrv", TextOf(tiny.driver->DriverExtension->ServiceKeyName));
    EXPECT_EQ("tinydrv", ImageOfAddress(reinterpret_cast<const void *>(tiny.driver->DriverUnload)));
    EXPECT_EQ("host", ImageOfAddress(reinterpret_cast<const void *>(&LoadNumberOf)));
    // Each image looked at is a walk step, found or not: tinydrv is the one loaded.
    const auto stepsToName = [](const void *address) {
        const uint64_t before = WorkDone(Work::HostWalk);
        ImageOfAddress(address);
        return WorkDone(Work::HostWalk) - before;
    };
    EXPECT_EQ(1u, stepsToName(reinterpret_cast<const void *>(tiny.driver->DriverUnload)));
    EXPECT_LE(1u, stepsToName(reinterpret_cast<const void *>(&LoadNumberOf)));

    // Its one pool block is the NUL-terminated copy of the service key path.
    const std::vector<PoolBlock> blocks = LivePool();
    ASSERT_EQ(1u, blocks.size());
    EXPECT_EQ("tinydrv", blocks[0].owner);
    EXPECT_EQ("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\tinydrv",
              AsciiOf(static_cast<const wchar_t *>(blocks[0].address)));

    // A request the driver has no routine for gets the I/O manager's answer.
    EXPECT_EQ(STATUS_INVALID_DEVICE_REQUEST,
              SendIrpSync(tiny.driver->DeviceObject, IRP_MJ_READ, 0, nullptr));

    UnloadDriver("tinydrv");
    EXPECT_EQ(nullptr, DriverOf("tinydrv"));
    EXPECT_EQ(0u, LivePoolCount());
    EXPECT_EQ(0u, LiveDeviceCount());
}

TEST_F(ImagesTest, ReloadedImageStartsWithFreshGlobals)
{
    for (int load = 0; load < 2; ++load) {
        LoadedDriver tiny = LoadDriver("tinydrv");
        ASSERT_EQ(STATUS_SUCCESS, tiny.entryStatus);
        EXPECT_EQ(1u, LoadNumberOf(tiny.driver)) << "load " << load;
        UnloadDriver("tinydrv");
    }
}

TEST_F(ImagesTest, PoolLeftAtUnloadIsReportedAgainstTheImageAndFreed)
{
    ASSERT_EQ(STATUS_SUCCESS, LoadDriver("leakydrv").entryStatus);
    UnloadDriver("leakydrv");
    const std::vector<Violation> found = Violations();
    ASSERT_EQ(1u, found.size());
    EXPECT_EQ("leakydrv", found[0].image);
    EXPECT_EQ(1u, ExpectViolation("POOL_LEAK"));
    EXPECT_EQ(0u, LivePoolCount());
}

TEST_F(ImagesTest, FailedEntryUnloadsTheImageAndReportsWhatItKept)
{
    SetWdmVersion(1, 0x00);
    LoadedDriver leaky = LoadDriver("leakydrv");
    EXPECT_EQ(STATUS_NOT_SUPPORTED, leaky.entryStatus);
    EXPECT_EQ(nullptr, leaky.driver);
    EXPECT_EQ(nullptr, DriverOf("leakydrv"));
    EXPECT_EQ(1u, ExpectViolation("POOL_LEAK"));
    EXPECT_EQ(0u, LivePoolCount());

    EXPECT_EQ(STATUS_OBJECT_NAME_NOT_FOUND, LoadDriver("nosuchdrv").entryStatus);
}

TEST_F(ImagesTest, WdmVersionComparesMajorThenMinor)
{
    struct Case {
        UCHAR major, minor;
        bool available;
    } cases[] = {{1, 0x10, true}, {1, 0x05, true}, {0, 0xFF, true}, {1, 0x20, false}, {2, 0x00, false}};
    SetWdmVersion(1, 0x10);
    for (const Case &c : cases) {
        EXPECT_EQ(c.available, IoIsWdmVersionAvailable(c.major, c.minor) != FALSE)
            << int(c.major) << "." << std::hex << int(c.minor);
    }
    SetWdmVersion(2, 0x00);
    EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x30));
}

// What each Windows reports: its version, the WDM version it answers for,
// and both records RtlGetVersion fills (the caller's size says which).
TEST_F(ImagesTest, EachWindowsReportsItsVersionAndWdmVersion)
{
    struct Case {
        Windows windows;
        ULONG major, minor, build;
        bool wdm6;
    } cases[] = {{Windows::W2000, 5, 0, 2195, false}, {Windows::XP, 5, 1, 2600, false},
                 {Windows::Vista, 6, 0, 6000, true},  {Windows::W7, 6, 1, 7600, true},
                 {Windows::W8, 6, 2, 9200, true},     {Windows::W81, 6, 3, 9600, true},
                 {Windows::W11, 10, 0, 26100, true}};
    for (const Case &c : cases) {
        SCOPED_TRACE(WindowsInfo(c.windows).title);
        SetWindowsVersion(c.windows);
        RTL_OSVERSIONINFOEXW info;
        std::memset(&info, 0xCC, sizeof(info));
        info.dwOSVersionInfoSize = sizeof(RTL_OSVERSIONINFOW);
        ASSERT_EQ(STATUS_SUCCESS, RtlGetVersion(reinterpret_cast<PRTL_OSVERSIONINFOW>(&info)));
        EXPECT_EQ(c.major, info.dwMajorVersion);
        EXPECT_EQ(c.minor, info.dwMinorVersion);
        EXPECT_EQ(c.build, info.dwBuildNumber);
        EXPECT_EQ(ULONG(VER_PLATFORM_WIN32_NT), info.dwPlatformId);
        EXPECT_EQ(0xCCCC, info.wServicePackMajor) << "the basic record ends before the extended fields";
        info.dwOSVersionInfoSize = sizeof(info);
        ASSERT_EQ(STATUS_SUCCESS, RtlGetVersion(reinterpret_cast<PRTL_OSVERSIONINFOW>(&info)));
        EXPECT_EQ(0, info.wServicePackMajor);
        EXPECT_TRUE(IoIsWdmVersionAvailable(1, 0x10));
        EXPECT_EQ(c.wdm6, IoIsWdmVersionAvailable(6, 0) != FALSE);
    }
}

}  // namespace
}  // namespace hk::test
