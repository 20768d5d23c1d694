// The bus driver on the simulated machine, as far as it is built: the Plug
// and Play manager loads mpsbus for every board of the built-in machine, each
// board gets its device, is identified and checked, and its start fails with
// the status of the first step not yet built (port creation); removed or not,
// nothing is left behind.
#include "machine.h"

#include "support/kernel_test.h"

#include <algorithm>
#include <string>
#include <vector>

namespace {

class BusDriverOnTheMachine : public hk::test::KernelTest {
protected:
    static size_t CountLog(const sim::MachineReport &report, const std::string &node, const std::string &entry)
    {
        return std::count_if(report.pnpLog.begin(), report.pnpLog.end(), [&](const std::string &line) {
            return line.find(node) != std::string::npos && line.find(entry) != std::string::npos;
        });
    }
};

TEST_F(BusDriverOnTheMachine, EveryBuiltinBoardIsIdentifiedAndFailsToStartHonestly)
{
    const sim::MachineReport report = sim::RunScenario(sim::BuiltinScenario());
    ASSERT_EQ(report.boards.size(), 3u);
    for (const sim::BoardReport &board : report.boards) {
        SCOPED_TRACE(board.instancePath);
        // The built-in machine puts the host's lower filter below mpsbus.
        EXPECT_EQ(1u, CountLog(report, board.instancePath, "AddDevice hklower  -> 0x00000000"));
        EXPECT_EQ(1u, CountLog(report, board.instancePath, "AddDevice mpsbus  -> 0x00000000"));
        EXPECT_EQ(1u, CountLog(report, board.instancePath, "IRP_MN_START_DEVICE  -> 0xC0000002"));
        EXPECT_EQ(board.state, "failed");
        EXPECT_EQ(board.status, STATUS_NOT_IMPLEMENTED);
        EXPECT_TRUE(board.driver.identified);
        EXPECT_EQ(board.driver.number, "1");
        EXPECT_TRUE(board.ports.empty());
    }
    // The driver image was loaded once per board's device and unloaded when
    // its last device had gone.
    EXPECT_EQ(3u, std::count_if(report.pnpLog.begin(), report.pnpLog.end(),
                                [](const std::string &line) { return line.find("DriverUnload mpsbus") != std::string::npos; }));
    EXPECT_TRUE(report.violations.empty());
    EXPECT_TRUE(report.poolOutstanding.empty());
    EXPECT_FALSE(report.Passed());
}

TEST_F(BusDriverOnTheMachine, RemovalAndSurpriseRemovalLeaveNothingBehind)
{
    const sim::Scenario scenario = sim::ParseScenario(R"({
        "boards": [{"bus": "pci", "hardware_ids": ["PCI\\VEN_7A3E&DEV_0010"]},
                   {"bus": "isa", "hardware_ids": ["VELMORA_ISA_SERIAL_IB8AY"]}],
        "steps": ["start", {"remove": 0}, {"surprise_remove": 1}]
    })");
    const sim::MachineReport report = sim::RunScenario(scenario);
    ASSERT_EQ(report.boards.size(), 2u);
    for (const sim::BoardReport &board : report.boards) EXPECT_EQ(board.state, "removed") << board.instancePath;
    EXPECT_TRUE(report.violations.empty());
    EXPECT_TRUE(report.poolOutstanding.empty());
    EXPECT_EQ(0u, hk::LiveDeviceCount());
}

}  // namespace

namespace {

// Every fallible kernel call of the built-in machine's life fails once in
// turn: whatever fails, the drivers leave no pool, mapping, handle or
// violation behind, and nothing crashes.
TEST_F(BusDriverOnTheMachine, AnyFailingKernelCallLeavesNothingBehind)
{
    const sim::Scenario scenario = sim::BuiltinScenario();
    sim::RunScenario(scenario);
    const unsigned calls = hk::TotalCallCount();
    ASSERT_GT(calls, 0u);

    for (unsigned failing = 1; failing <= calls; ++failing) {
        SCOPED_TRACE("failing call " + std::to_string(failing));
        const sim::MachineReport report = sim::RunScenario(scenario, [failing] { hk::FailNthCallOverall(failing); });
        for (const hk::Violation &v : report.violations) ADD_FAILURE() << v.name << " by " << v.image << ": " << v.detail;
        EXPECT_TRUE(report.poolOutstanding.empty());
        EXPECT_EQ(0u, hk::LiveDeviceCount());
        EXPECT_TRUE(hk::LiveMappings().empty());
        EXPECT_EQ(0u, hk::reg::OpenHandleCount());
    }
}

}  // namespace
