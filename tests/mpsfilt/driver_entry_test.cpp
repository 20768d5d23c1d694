// Loading and unloading mpsfilt: the addresses the level-3 lines show, the
// refusal of an old kernel, the dispatch table, and the count of blocks
// checked at unload (every level's lines: trace_levels_test.cpp).
#include "filter_test.h"

#include <cstdio>

namespace filtertest {
namespace {

class DriverEntryTest : public FilterTest {
protected:
    // An address as the level-3 lines print it: whole, in lower-case hex
    // (eight digits on x86, sixteen on x64).
    static std::string Traced(const void *address)
    {
        char text[24];
        std::snprintf(text, sizeof text, "%0*llx", int(2 * sizeof(void *)),
                      static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(address)));
        return text;
    }

    // The path copy's block, as the level-3 lines print it.
    static std::string PathCopyAddress()
    {
        for (const hk::PoolBlock &block : hk::LivePool()) {
            if (block.owner == "mpsfilt") return Traced(block.address);
        }
        return "(no block)";
    }

    static std::string PathCopyBytes() { return std::to_string(std::string(kFilterServiceKey).size() * 2 + 2); }

    static std::string EntryLine() { return std::string("DUZOREDAZ: Entering DriverEntry(), Service Key Name =\n    ") + kFilterServiceKey + "\n"; }
};

// The reading of the level is itself traced against the level before it:
// only its last line, written after the value arrived, shows.
TEST_F(DriverEntryTest, DebugLevelThreeShowsTheReadsLastLineAndEveryLaterLine)
{
    SetDebugLevel(3);
    ASSERT_EQ(LoadFilter(), STATUS_SUCCESS);
    const std::string address = PathCopyAddress();
    const std::string loaded = "DUZOREDAZ: Exit MP_GetRegistryDword() SUCCESS, value = decimal 3 0x3\n" + EntryLine() +
                               "DUZOREDAZ: MP_ExAllocatePool(" + address + ", " + PathCopyBytes() +
                               " bytes) gExAllocCount = 1\n"
                               "DUZOREDAZ: exiting DriverEntry\n";
    EXPECT_EQ(Trace(), loaded);
    UnloadFilter();
    EXPECT_EQ(Trace(), loaded + "DUZOREDAZ: enter MP_Unload\n"
                                "DUZOREDAZ: MP_ExFreePool(" + address + ") gExAllocCount = 0\n"
                                "DUZOREDAZ: exit MP_Unload\n");
    EXPECT_TRUE(hk::Asserts("mpsfilt").empty());
}

// The level is read before the version check, so the refusal obeys it.
TEST_F(DriverEntryTest, AnOldKernelIsRefusedAfterTheLevelIsRead)
{
    hk::SetWdmVersion(1, 0);
    EXPECT_EQ(LoadFilter(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Trace(), "DUZOREDAZ: WDM 1.10 not available, driver load aborted!\n");
    EXPECT_EQ(hk::DriverOf("mpsfilt"), nullptr);

    hk::ClearDiagnostics();
    SetDebugLevel(3);
    EXPECT_EQ(LoadFilter(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Trace(), "DUZOREDAZ: Exit MP_GetRegistryDword() SUCCESS, value = decimal 3 0x3\n"
                       "DUZOREDAZ: WDM 1.10 not available, driver load aborted!\n");
    EXPECT_EQ(hk::LivePoolCount("mpsfilt"), 0u);
}

TEST_F(DriverEntryTest, AFailedPathCopyRefusesTheLoadAndCountsNothing)
{
    SetDebugLevel(3);
    FailNext(hk::Service::Pool);
    EXPECT_EQ(LoadFilter(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Trace(), "DUZOREDAZ: Exit MP_GetRegistryDword() SUCCESS, value = decimal 3 0x3\n" + EntryLine() +
                           "DUZOREDAZ: MP_ExAllocatePool(" + Traced(nullptr) + ", " + PathCopyBytes() +
                           " bytes) gExAllocCount = 0\n"
                           "DUZOREDAZ: Can't allocate a buffer for the copy of the service key name!\n");
    EXPECT_EQ(hk::DriverOf("mpsfilt"), nullptr);
}

// A value of another type is not stored over the 4-byte level: the load goes
// on at level 2 (the kernel reports a direct query that would have).
TEST_F(DriverEntryTest, ADebugLevelThatIsNoDwordLeavesLevelTwo)
{
    const char text[] = {'3', 0, 0, 0};
    const unsigned char wide[8] = {3, 0, 0, 0, 0, 0, 0, 0};
    const struct {
        ULONG type;
        const void *data;
        size_t size;
    } values[] = {{REG_SZ, text, sizeof text}, {REG_BINARY, wide, sizeof wide}, {REG_DWORD, wide, sizeof wide}};
    for (const auto &value : values) {
        SCOPED_TRACE("type " + std::to_string(value.type) + ", " + std::to_string(value.size) + " bytes");
        hk::ClearDiagnostics();
        hk::reg::SetValue(kFilterParameters, "DebugLevel", value.type, value.data, value.size);
        ASSERT_EQ(LoadFilter(), STATUS_SUCCESS);
        EXPECT_EQ(Trace(), EntryLine() + "DUZOREDAZ: exiting DriverEntry\n");
        UnloadFilter();
    }
}

TEST_F(DriverEntryTest, EveryMajorFunctionButPnpAndPowerIsPassedDownUnderTheFiltersOwnRoutine)
{
    ASSERT_EQ(AddFilter(/*withSerial=*/false), STATUS_SUCCESS);
    PDRIVER_DISPATCH passThrough = driver->MajorFunction[IRP_MJ_CREATE];
    for (UCHAR major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        SCOPED_TRACE("major " + std::to_string(major));
        if (major == IRP_MJ_PNP || major == IRP_MJ_POWER) {
            EXPECT_NE(driver->MajorFunction[major], passThrough);
            continue;
        }
        EXPECT_EQ(driver->MajorFunction[major], passThrough);
        script.seen.clear();
        EXPECT_EQ(hk::SendIrpSync(filter, major, 0, nullptr), STATUS_SUCCESS);
        ASSERT_EQ(script.seen.size(), 1u);
        EXPECT_EQ(script.seen[0].first, major);
    }
    EXPECT_NE(driver->MajorFunction[IRP_MJ_PNP], driver->MajorFunction[IRP_MJ_POWER]);
    EXPECT_NE(driver->DriverUnload, nullptr);
}

// The only way to lose count without a fault of the filter's own: a driver
// below takes the requirements list over and frees it. Unload reports it.
TEST_F(DriverEntryTest, ABlockNotGivenBackIsReportedAtUnload)
{
    SetDebugLevel(3);
    ASSERT_EQ(AddFilter(), STATUS_SUCCESS);
    script.requirements = RequirementsAnswer::FreeTheList;
    EXPECT_EQ(hk::test::SendPnp(filter, IRP_MN_FILTER_RESOURCE_REQUIREMENTS), STATUS_SUCCESS);
    Remove();
    UnloadFilter();

    const std::vector<hk::AssertRecord> asserts = hk::Asserts("mpsfilt");
    ASSERT_EQ(asserts.size(), 1u);
    EXPECT_EQ(asserts[0].expression, "gExAllocCount == 0");
    EXPECT_EQ(asserts[0].file, "main");
    EXPECT_EQ(asserts[0].line, 166u);
    EXPECT_EQ(asserts[0].message, "");
    const std::string trace = Trace();
    const std::string unloadEnd = "DUZOREDAZ: enter MP_Unload\n";
    ASSERT_NE(trace.find(unloadEnd), std::string::npos);
    const std::string unload = trace.substr(trace.find(unloadEnd));
    EXPECT_EQ(LastAllocCount(unload), 1);
    EXPECT_NE(unload.find("*** Assertion failed: gExAllocCount == 0\n***   Source File: main, line 166\n"),
              std::string::npos);
    const std::string last = "DUZOREDAZ: exit MP_Unload\n";
    EXPECT_EQ(unload.substr(unload.size() - last.size()), last);
}

}  // namespace
}  // namespace filtertest
