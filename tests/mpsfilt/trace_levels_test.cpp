// What a debugger shows of mpsfilt at each debug level the filter tells
// apart, and above the highest, through one life: a load an old kernel
// refuses, a load whose path copy fails, a port whose attach fails, then a
// port added, its requirements filtered, started and removed, and the
// driver unloaded. Every level-1 and level-2 line of the filter is in it.
#include "filter_test.h"

#include <cstdio>
#include <optional>
#include <regex>

namespace filtertest {
namespace {

// The life's lines, each with the lowest level that shows it. kRead is the
// line the reading of "DebugLevel" writes after the value arrived: it shows
// from level 3, with the value read (the lines before the query are tested
// against the initial level 2 and never show).
constexpr ULONG kRead = 3;
const char kReadLine[] = "Exit MP_GetRegistryDword() SUCCESS, value = decimal ";

struct Line {
    ULONG level;
    std::string text;
};

std::vector<Line> LifeLines()
{
    const std::string entry =
        std::string("Entering DriverEntry(), Service Key Name =\n    ") + kFilterServiceKey + "\n";
    const std::string copyBytes = std::to_string(std::string(kFilterServiceKey).size() * 2 + 2);
    const std::string none(2 * sizeof(void *), '0');
    const std::string interfaceBytes = std::to_string(sizeof(PortBusInterface));
    return {
        {kRead, kReadLine},
        {1, "WDM 1.10 not available, driver load aborted!\n"},

        {kRead, kReadLine},
        {1, entry},
        {3, "MP_ExAllocatePool(" + none + ", " + copyBytes + " bytes) gExAllocCount = 0\n"},
        {1, "Can't allocate a buffer for the copy of the service key name!\n"},

        {kRead, kReadLine},
        {1, entry},
        {3, "MP_ExAllocatePool(<block>, " + copyBytes + " bytes) gExAllocCount = 1\n"},
        {2, "exiting DriverEntry\n"},

        {2, "enter Dispatch_AddDevice()\n"},
        {1, "IoAttachDeviceToDeviceStack failed!\n"},
        {2, "exit Dispatch_AddDevice() (c00002b6)\n"},

        {2, "enter Dispatch_AddDevice()\n"},
        {2, "enter GetPortOffset\n"},
        {3, "MP_ExAllocatePool(<block>, 256 bytes) gExAllocCount = 2\n"},
        {2, "This is port 3\n"},
        {3, "MP_ExFreePool(<block>) gExAllocCount = 1\n"},
        {2, "exit GetPortOffset (0)\n"},
        {2, "exit Dispatch_AddDevice() (0)\n"},

        {3, "MP_ExAllocatePool(<block>, 144 bytes) gExAllocCount = 2\n"},  // the requirements list
        {3, "MP_ExFreePool(<block>) gExAllocCount = 1\n"},
        {3, "MP_ExAllocatePool(<block>, " + interfaceBytes + " bytes) gExAllocCount = 2\n"},  // the interface record
        {3, "MP_ExFreePool(<block>) gExAllocCount = 1\n"},

        {2, "enter MP_Unload\n"},
        {3, "MP_ExFreePool(<block>) gExAllocCount = 0\n"},
        {2, "exit MP_Unload\n"},
    };
}

// What the life shows with |stored| as "DebugLevel" (none: level 2).
std::string Expected(std::optional<ULONG> stored)
{
    const ULONG level = stored.value_or(2);
    char value[32];
    std::snprintf(value, sizeof value, "%d 0x%x\n", int(level), unsigned(level));
    std::string shown;
    for (const Line &line : LifeLines()) {
        if (level == 0 || line.level > level) continue;
        shown += "DUZOREDAZ: " + line.text + (line.text == kReadLine ? value : "");
    }
    return shown;
}

class TraceLevels : public FilterTest, public ::testing::WithParamInterface<std::optional<ULONG>> {
protected:
    // The life, and what it traced; a block's address reads "<block>" (a
    // failed allocation's stays zero).
    std::string Life()
    {
        hk::SetWdmVersion(1, 0);
        EXPECT_EQ(LoadFilter(), STATUS_UNSUCCESSFUL);
        hk::SetWdmVersion(1, 0x10);
        FailNext(hk::Service::Pool);
        EXPECT_EQ(LoadFilter(), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(LoadFilter(), STATUS_SUCCESS);
        FailNext(hk::Service::Attach);
        EXPECT_EQ(AddFilter(/*withSerial=*/false), STATUS_DEVICE_REMOVED);
        EXPECT_EQ(AddFilter(), STATUS_SUCCESS);
        ULONG_PTR information = 0;
        EXPECT_EQ(FilterRequirements(nullptr, &information), STATUS_NOT_SUPPORTED);
        EXPECT_EQ(Start(), STATUS_SUCCESS);
        Remove();
        UnloadFilter();
        EXPECT_TRUE(hk::Asserts("mpsfilt").empty());
        static const std::regex block("Pool\\(0*[1-9a-f][0-9a-f]*");
        return std::regex_replace(Trace(), block, "Pool(<block>");
    }
};

TEST_P(TraceLevels, ShowExactlyTheLinesUpToTheLevel)
{
    if (GetParam()) SetDebugLevel(*GetParam());
    EXPECT_EQ(Life(), Expected(GetParam()));
}

// 0 to 3 are the levels the filter tells apart; 4 and the largest value
// show what 3 shows.
INSTANTIATE_TEST_SUITE_P(Levels, TraceLevels,
                         ::testing::Values(std::nullopt, 0u, 1u, 2u, 3u, 4u, 0xFFFFFFFFu),
                         [](const ::testing::TestParamInfo<std::optional<ULONG>> &info) {
                             return info.param ? "Level" + std::to_string(*info.param) : std::string("NoValue");
                         });

}  // namespace
}  // namespace filtertest
