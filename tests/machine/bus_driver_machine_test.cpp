// The bus driver on the simulated machine: the Plug and Play manager loads
// mpsbus for every board of the built-in machine, each board gets its device,
// is identified and checked, starts and reports its ports; removed or not,
// nothing is left behind.
#include "machine.h"

#include "support/kernel_test.h"
#include "support/long_runs.h"

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

TEST_F(BusDriverOnTheMachine, EveryBuiltinBoardIsIdentifiedAndReportsItsPorts)
{
    const sim::MachineReport report = sim::RunScenario(sim::BuiltinScenario());
    ASSERT_EQ(report.boards.size(), 3u);
    for (const sim::BoardReport &board : report.boards) {
        SCOPED_TRACE(board.instancePath);
        // The built-in machine puts the host's lower filter below mpsbus.
        EXPECT_EQ(1u, CountLog(report, board.instancePath, "AddDevice hklower  -> 0x00000000"));
        EXPECT_EQ(1u, CountLog(report, board.instancePath, "AddDevice mpsbus  -> 0x00000000"));
        EXPECT_EQ(1u, CountLog(report, board.instancePath, "IRP_MN_START_DEVICE  -> 0x00000000"));
        EXPECT_EQ(board.state, "started");
        EXPECT_EQ(board.status, STATUS_SUCCESS);
        EXPECT_TRUE(board.driver.identified);
        EXPECT_EQ(board.driver.number, "1");
    }
    // One device node per UART, named after the board's model, brand and
    // number, with the hardware ID of its bus and brand.
    const struct {
        size_t ports;
        const char *deviceId, *hardwareId, *description, *lastLocation;
    } expected[] = {
        {4, "VelmoraMultiportSerial\\PB4-A_1", "VELMORA_PCI_SERIAL_PORT", "Velmora Serial Port", "PB4-A board 1 port 4"},
        {2, "TarvoMultiportSerial\\CB2-A_1", "TARVO_PCMCIA_SERIAL_PORT", "Tarvo Serial Port", "CB2-A board 1 port 2"},
        {8, "VelmoraMultiportSerial\\IB8-AY_1", "VELMORA_ISA_SERIAL_PORT", "Velmora Serial Port",
         "IB8-AY board 1 port 8"},
    };
    for (size_t i = 0; i < 3; ++i) {
        const std::vector<sim::PortReport> &ports = report.boards[i].ports;
        ASSERT_EQ(ports.size(), expected[i].ports);
        for (const sim::PortReport &port : ports) {
            EXPECT_EQ(port.deviceId, expected[i].deviceId);
            EXPECT_EQ(port.hardwareIds, std::vector<std::string>{expected[i].hardwareId});
            EXPECT_EQ(port.description, expected[i].description);
        }
        EXPECT_EQ(ports.back().instanceId, "PORT_" + std::to_string(expected[i].ports));
        EXPECT_EQ(ports.back().location, expected[i].lastLocation);
    }
    // The driver image serves all three boards: loaded once, and unloaded
    // once its last device had gone at shutdown.
    for (const char *call : {"DriverEntry mpsbus", "DriverUnload mpsbus"})
        EXPECT_EQ(1u, std::count_if(report.pnpLog.begin(), report.pnpLog.end(),
                                    [&](const std::string &line) { return line.find(call) != std::string::npos; }))
            << call;
    EXPECT_TRUE(report.violations.empty());
    EXPECT_TRUE(report.poolOutstanding.empty());
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

    for (unsigned failing : SweepCases(calls)) {
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
