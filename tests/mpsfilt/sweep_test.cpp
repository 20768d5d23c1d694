// A port's whole life under the filter with every fallible kernel call failing
// once in turn: load, AddDevice, requirements, start, removal, unload. Nothing
// may crash or be left behind, and the count is zero at unload every time.
#include "filter_test.h"

namespace filtertest {
namespace {

class SweepTest : public FilterTest {
protected:
    void Life()
    {
        if (!NT_SUCCESS(AddFilter())) {
            if (pdo->AttachedDevice != nullptr) Remove();
            UnloadFilter();
            return;
        }
        std::vector<unsigned char> offered(sizeof(IO_RESOURCE_REQUIREMENTS_LIST), 0);
        reinterpret_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(offered.data())->ListSize = ULONG(offered.size());
        ULONG_PTR information = 0;
        FilterRequirements(reinterpret_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(offered.data()), &information);
        EXPECT_EQ(information, 0u);
        Start();
        Remove();
        UnloadFilter();
    }
};

TEST_F(SweepTest, AnyFailingCallLeavesNothingBehind)
{
    SetPortIndex(3);
    unsigned runs = 0;
    hk::Sweep([this] { Life(); },
              [&](unsigned failing) {
                  SCOPED_TRACE("failing call " + std::to_string(failing));
                  ++runs;
                  for (const hk::Violation &v : hk::Violations())
                      ADD_FAILURE() << v.name << " by " << v.image << ": " << v.detail;
                  hk::ClearViolations();
                  EXPECT_EQ(hk::LivePoolCount("mpsfilt"), 0u);
                  EXPECT_EQ(hk::LivePoolCount(kPortBusService), 0u);
                  EXPECT_TRUE(hk::Asserts("mpsfilt").empty());
                  EXPECT_EQ(hk::LiveDeviceCount(), 1u) << "only the port device";
                  EXPECT_EQ(script.references, 0);
                  hk::ClearDiagnostics();
                  FreshScript();
              });
    EXPECT_GT(runs, 8u);
}

}  // namespace
}  // namespace filtertest
