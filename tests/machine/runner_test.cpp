// The scenario runner on boards that no driver binds, so the outcome does
// not depend on the drivers: what the machine shows for them, and the
// scenario values it stores on the way.
#include "machine.h"

#include "support/kernel_test.h"

#include <gmock/gmock.h>

using ::testing::HasSubstr;

namespace {

class RunnerTest : public hk::test::KernelTest {};

TEST_F(RunnerTest, UnboundBoardShowsWhyItDidNotStartAndKeepsItsRegistry)
{
    const sim::Scenario scenario = sim::ParseScenario(R"({
        "boards": [{"bus": "pci", "hardware_ids": ["PCI\\VEN_1234&DEV_0001"], "registry": {"HWOR": 3}},
                   {"bus": "isa", "hardware_ids": ["OTHER_ISA_BOARD"]}]
    })");
    const sim::MachineReport report = sim::RunScenario(scenario);
    ASSERT_EQ(report.boards.size(), 2u);
    const sim::BoardReport &pci = report.boards[0];
    EXPECT_EQ(pci.state, "failed");
    EXPECT_EQ(pci.problem, "no driver installed");
    EXPECT_EQ(pci.instancePath, "PCI\\VEN_1234&DEV_0001\\3&1&0");
    ASSERT_EQ(pci.registry.size(), 1u);
    EXPECT_EQ(pci.registry[0].first, "HWOR");
    EXPECT_EQ(report.boards[1].instancePath, "ROOT\\MULTIPORTSERIAL\\0000");
    EXPECT_TRUE(report.violations.empty());
    EXPECT_TRUE(report.poolOutstanding.empty());  // the shutdown gave everything back
    EXPECT_FALSE(report.Passed());
}

// A scenario built in code, not read from a file, is checked by the run too.
TEST_F(RunnerTest, StepOnABoardNotYetPluggedIsAScenarioError)
{
    sim::Scenario scenario = sim::ParseScenario(R"({"boards": [{"bus": "isa", "hardware_ids": ["X"]}]})");
    scenario.steps[0].kind = sim::ScenarioStep::Kind::Remove;
    try {
        sim::RunScenario(scenario);
        ADD_FAILURE() << "ran a removal of a board never plugged in";
    } catch (const sim::ScenarioError &e) {
        EXPECT_THAT(e.what(), HasSubstr("board 0"));
    }
}

TEST_F(RunnerTest, FilterDebugLevelIsStoredWhereTheFilterReadsIt)
{
    sim::Scenario scenario = sim::ParseScenario(R"({"filter_debug_level": 5, "boards": []})");
    sim::RunScenario(scenario);
    hk::reg::Value value;
    ASSERT_TRUE(hk::reg::GetValue(
        "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\VelmoraMultiportSerial\\Parameters", "DebugLevel",
        &value));
    EXPECT_EQ(value.type, ULONG(REG_DWORD));
    EXPECT_EQ(value.data[0], 5);
}

}  // namespace
