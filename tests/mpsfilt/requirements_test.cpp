// FILTER_RESOURCE_REQUIREMENTS: the drivers below see one shared interrupt,
// and the PnP manager gets no list back, so it assigns the port nothing.
#include "filter_test.h"

#include <cstring>

namespace filtertest {
namespace {

class RequirementsTest : public FilterTest {
protected:
    void SetUp() override
    {
        FilterTest::SetUp();
        // What the bus driver asked for, as the PnP manager offers it.
        offered_.resize(sizeof(IO_RESOURCE_REQUIREMENTS_LIST));
        auto *list = Offered();
        list->ListSize = ULONG(offered_.size());
        list->AlternativeLists = 1;
        list->List[0].Version = list->List[0].Revision = 1;
        list->List[0].Count = 1;
        list->List[0].Descriptors[0].Type = CmResourceTypePort;
        list->List[0].Descriptors[0].u.Port.Length = 8;
    }

    PIO_RESOURCE_REQUIREMENTS_LIST Offered()
    {
        return reinterpret_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(offered_.data());
    }

private:
    std::vector<unsigned char> offered_;
};

TEST_F(RequirementsTest, TheDriversBelowSeeOneSharedInterruptAndNothingComesBack)
{
    ASSERT_EQ(AddFilter(), STATUS_SUCCESS);
    ULONG_PTR information = 1;
    // The port device leaves the status as it came: that is what returns.
    EXPECT_EQ(FilterRequirements(Offered(), &information), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(information, 0u);

    // The same new list in both places the drivers below may look.
    ASSERT_NE(script.filterInformation, 0u);
    EXPECT_NE(script.filterInformation, reinterpret_cast<ULONG_PTR>(Offered()));
    EXPECT_EQ(script.filterInformation, reinterpret_cast<ULONG_PTR>(script.filterParameter));
    ASSERT_EQ(script.filterList.size(), 144u);

    IO_RESOURCE_REQUIREMENTS_LIST expected = {};
    expected.ListSize = 144;
    expected.InterfaceType = Internal;
    expected.AlternativeLists = 1;
    expected.List[0].Version = 1;
    expected.List[0].Revision = 1;
    expected.List[0].Count = 1;
    expected.List[0].Descriptors[0].Option = 0;
    expected.List[0].Descriptors[0].Type = CmResourceTypeInterrupt;
    expected.List[0].Descriptors[0].ShareDisposition = CmResourceShareShared;
    expected.List[0].Descriptors[0].Flags = CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE;
    std::vector<unsigned char> bytes(144, 0);
    std::memcpy(bytes.data(), &expected, sizeof expected);
    EXPECT_EQ(script.filterList, bytes);

    // The offered list is still the PnP manager's: untouched and not freed.
    EXPECT_EQ(Offered()->List[0].Descriptors[0].Type, CmResourceTypePort);
}

TEST_F(RequirementsTest, TheListIsGivenBackAndTheCountEndsWhereItBegan)
{
    SetDebugLevel(3);
    ASSERT_EQ(AddFilter(), STATUS_SUCCESS);
    const long before = LastAllocCount(Trace());
    ULONG_PTR information = 0;
    FilterRequirements(Offered(), &information);
    EXPECT_NE(Trace().find(" 144 bytes) gExAllocCount = " + std::to_string(before + 1) + "\n"), std::string::npos);
    EXPECT_EQ(LastAllocCount(Trace()), before);
    EXPECT_EQ(hk::LivePoolCount("mpsfilt"), 1u) << "only the path copy";
}

TEST_F(RequirementsTest, WithoutMemoryTheRequestFailsHere)
{
    ASSERT_EQ(AddFilter(), STATUS_SUCCESS);
    FailNext(hk::Service::Pool);
    ULONG_PTR information = 1;
    EXPECT_EQ(FilterRequirements(Offered(), &information), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(information, 0u);
    EXPECT_TRUE(script.seen.empty());
}

}  // namespace
}  // namespace filtertest
