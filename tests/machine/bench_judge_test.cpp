// The benchmark's verdict on counts, on small machines: the host as it is
// passes; a host that walks every device to find one, or a count that a
// phase never moved, fails it and is named.
#include "bench.h"

#include "support/kernel_test.h"

#include <gmock/gmock.h>

#include <sstream>

namespace {

class BenchJudgeTest : public hk::test::KernelTest {};

// Turned off again however the test ends: the walk outlasts kernel resets.
struct DeviceWalk {
    DeviceWalk() { hk::WalkEveryDeviceForTest(true); }
    ~DeviceWalk() { hk::WalkEveryDeviceForTest(false); }
};

std::map<size_t, sim::BenchRun> MeasureSmallMachines()
{
    std::map<size_t, sim::BenchRun> runs;
    for (size_t boards : {size_t(1), size_t(4)}) {
        runs[boards] = sim::MeasureBoards(boards);
        EXPECT_THAT(runs[boards].problems, testing::IsEmpty()) << boards << " boards";
    }
    return runs;
}

TEST_F(BenchJudgeTest, TheHostAsItIsCountsTheSamePerBoardAndEveryCountAPhaseMustExercise)
{
    std::ostringstream out;
    EXPECT_TRUE(sim::CountsLinear(out, MeasureSmallMachines())) << out.str();
}

TEST_F(BenchJudgeTest, AHostThatWalksEveryDeviceToFindOneFailsTheVerdictInBothPhases)
{
    std::map<size_t, sim::BenchRun> runs;
    {
        DeviceWalk walk;
        runs = MeasureSmallMachines();
    }
    std::ostringstream out;
    EXPECT_FALSE(sim::CountsLinear(out, runs));
    EXPECT_THAT(out.str(), testing::HasSubstr("start: host walk steps: "));
    EXPECT_THAT(out.str(), testing::HasSubstr("remove: host walk steps: "));
    EXPECT_THAT(out.str(), testing::HasSubstr("NOT LINEAR"));
}

TEST_F(BenchJudgeTest, ACountThatAPhaseMustExerciseAndNeverMovedFailsTheVerdict)
{
    const std::map<size_t, sim::BenchRun> measured = MeasureSmallMachines();
    const struct {
        const char *name;
        std::function<void(sim::BenchRun &)> lose;
    } kLost[] = {
        {"start: registry value search steps", [](sim::BenchRun &r) { r.startWork[size_t(hk::Work::ValueSearch)] = 0; }},
        {"remove: host walk steps", [](sim::BenchRun &r) { r.removeWork[size_t(hk::Work::HostWalk)] = 0; }},
        {"start: register accesses of serial", [](sim::BenchRun &r) { r.registerAccesses.erase("serial"); }},
        {"kept: nonpaged pool bytes of mpsbus", [](sim::BenchRun &r) { r.nonPaged["mpsbus"].bytes = 0; }},
    };
    for (const auto &lost : kLost) {
        SCOPED_TRACE(lost.name);
        std::map<size_t, sim::BenchRun> runs = measured;
        for (auto &[boards, run] : runs) lost.lose(run);  // the same in every run: still linear
        std::ostringstream out;
        EXPECT_FALSE(sim::CountsLinear(out, runs));
        EXPECT_THAT(out.str(), testing::HasSubstr(std::string(lost.name) + ": 0 at N = 1, the phase must exercise it"));
        EXPECT_THAT(out.str(), testing::Not(testing::HasSubstr("NOT LINEAR")));
    }
}

}  // namespace
