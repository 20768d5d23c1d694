// Fault injection aimed at the drivers under test: only their calls are
// counted and failed, and a failed call names the driver routines it came
// through, which is what the sweep (mpsim --sweep, a ctest of its own)
// decides each run's expected outcome by.
#include "machine.h"
#include "sweep.h"

#include "support/kernel_test.h"

namespace {

class FaultSweep : public hk::test::KernelTest {
protected:
    static sim::SweepCase Case(const std::string &name)
    {
        std::vector<sim::SweepCase> cases;
        std::string unknown;
        EXPECT_TRUE(sim::SelectSweepCases({name}, &cases, &unknown)) << unknown;
        return cases.at(0);
    }
};

TEST_F(FaultSweep, OnlyTheDriversCallsAreCountedAndAFailedOneNamesItsRoutines)
{
    const sim::SweepCase life = Case("CB1-A/remove");
    sim::RunScenario(life.scenario);
    const size_t everyone = hk::CountedCalls().size();

    sim::RunScenario(life.scenario, [] {
        hk::AimFaultsAt({"mpsbus", "mpsfilt"});
        hk::FailNthCall(hk::Service::Attach, 2);  // mpsfilt's, above the port's serial driver
    });
    const std::vector<hk::FallibleCall> calls = hk::CountedCalls();
    EXPECT_LT(calls.size(), everyone) << "the serial driver stand-in's calls are left out";
    for (const hk::FallibleCall &call : calls) EXPECT_TRUE(call.image == "mpsbus" || call.image == "mpsfilt") << call.image;
    const std::vector<std::string> stack = hk::FailedCallStack();
    ASSERT_GE(stack.size(), 2u);
    EXPECT_EQ(stack[0], "mpsfilt!AttachFilter");
    EXPECT_EQ(stack[1], "mpsfilt!Dispatch_AddDevice");
    EXPECT_EQ(hk::LiveDeviceCount(), 0u);
}

}  // namespace
