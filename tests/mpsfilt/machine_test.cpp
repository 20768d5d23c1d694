// The filter on the simulated machine, through the Plug and Play manager with
// mpsbus below every port: each serial port driver starts with exactly its
// own registers, the board's status register and the shared interrupt, and
// uses them; whatever the bus drivers below the boards do with their
// completions, nothing is left behind once the last board has gone.
#include "lower_completion.h"
#include "machine.h"

#include "support/kernel_test.h"
#include "support/resource_lists.h"

#include <algorithm>
#include <map>
#include <string>

namespace filtertest {
namespace {

using Descriptors = std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>;
using hk::test::SameDescriptor;

constexpr ULONG kBridgeLength = 128;

// What the serial port driver of port |index| must be handed out of the list
// its board started with, descriptor for descriptor in the board's order:
// the UART range becomes the port's 8-byte block; the interrupt goes as it
// is; the status register, a one-byte port at offset 7 of the first block,
// takes the PCI bridge range's place or follows an ISA board's list. A PC
// Card's list has none.
Descriptors PortShare(const Descriptors &board, const std::string &bus, unsigned index)
{
    const auto uart = std::find_if(board.begin(), board.end(), [](const CM_PARTIAL_RESOURCE_DESCRIPTOR &d) {
        return d.Type == CmResourceTypePort && d.u.Port.Length != kBridgeLength;
    });
    if (uart == board.end()) {
        ADD_FAILURE() << "the board started without a UART range";
        return {};
    }
    auto statusRegister = [&uart](CM_PARTIAL_RESOURCE_DESCRIPTOR d) {
        d.u.Port.Start.QuadPart = uart->u.Port.Start.QuadPart + 7;
        d.u.Port.Length = 1;
        return d;
    };
    Descriptors share;
    for (CM_PARTIAL_RESOURCE_DESCRIPTOR d : board) {
        if (d.Type == CmResourceTypePort && d.u.Port.Length == kBridgeLength) {
            share.push_back(statusRegister(d));
        } else if (d.Type == CmResourceTypePort) {
            d.u.Port.Start.QuadPart += 8 * index;
            d.u.Port.Length = 8;
            share.push_back(d);
        } else {
            share.push_back(d);
        }
    }
    if (bus == "isa") share.push_back(statusRegister(*uart));
    return share;
}

void ExpectSame(const Descriptors &actual, const Descriptors &expected, const char *which)
{
    ASSERT_EQ(actual.size(), expected.size()) << which;
    for (size_t i = 0; i < actual.size(); ++i)
        EXPECT_TRUE(SameDescriptor(actual[i], expected[i])) << which << " descriptor " << i;
}

// Every port of every board started with its share of the board's lists and
// passed the serial driver's checks: its UART answers, and the status
// register, where the board hands one out, shows the port's own bit.
void ExpectEveryPortServed(const sim::MachineReport &report, const std::map<std::string, size_t> &portsPerBus)
{
    ASSERT_EQ(report.boards.size(), portsPerBus.size());
    size_t started = 0;
    for (const sim::BoardReport &board : report.boards) {
        SCOPED_TRACE(board.instancePath);
        EXPECT_EQ(board.status, STATUS_SUCCESS) << board.problem;
        ASSERT_EQ(board.ports.size(), portsPerBus.at(board.bus));
        for (unsigned i = 0; i < board.ports.size(); ++i) {
            const sim::PortReport &port = board.ports[i];
            SCOPED_TRACE(port.location);
            EXPECT_EQ(port.status, STATUS_SUCCESS) << port.problem;
            ExpectSame(port.raw, PortShare(board.raw, board.bus, i), "raw");
            ExpectSame(port.translated, PortShare(board.translated, board.bus, i), "translated");
            EXPECT_EQ(port.loopback, "ok") << port.checkDetail;
            EXPECT_EQ(port.statusRegister, board.bus == "pcmcia" ? "not run" : "ok") << port.checkDetail;
            started += port.status == STATUS_SUCCESS && port.loopback == "ok";
        }
    }
    size_t expected = 0;
    for (const auto &[bus, ports] : portsPerBus) expected += ports;
    EXPECT_EQ(started, expected);
}

// The machine has shut down: every board removed, every driver unloaded.
void ExpectNothingLeft(const sim::MachineReport &report)
{
    for (const hk::Violation &v : report.violations) ADD_FAILURE() << v.name << " by " << v.image << ": " << v.detail;
    EXPECT_TRUE(report.poolOutstanding.empty());
    EXPECT_TRUE(hk::LiveMappings().empty());
    // The filter went after its last device, once, with its count at zero.
    EXPECT_EQ(std::count_if(report.pnpLog.begin(), report.pnpLog.end(),
                            [](const std::string &line) { return line.find("DriverUnload mpsfilt") != std::string::npos; }),
              1);
    EXPECT_TRUE(hk::Asserts("mpsfilt").empty());
    const std::string &trace = report.debugOutput.at("mpsfilt");
    const std::string last = "DUZOREDAZ: exit MP_Unload\n";
    ASSERT_GE(trace.size(), last.size());
    EXPECT_EQ(trace.substr(trace.size() - last.size()), last);
}

// The seed picks, request by request, how the bus drivers below the boards
// complete: at once, at DISPATCH_LEVEL, or later from another thread.
class FilterOnTheMachine : public hk::test::KernelTest, public ::testing::WithParamInterface<uint32_t> {
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        sim::SetCompletionSeed(GetParam());
    }
    void TearDown() override
    {
        sim::SetCompletionSeed(sim::kDefaultCompletionSeed);
        KernelTest::TearDown();
    }
};

const std::map<std::string, size_t> kBuiltinPorts = {{"pci", 4}, {"pcmcia", 2}, {"isa", 8}};

TEST_P(FilterOnTheMachine, EveryPortOfTheBuiltinBoardsGetsItsOwnRegisters)
{
    const sim::MachineReport report = sim::RunScenario(sim::BuiltinScenario());
    EXPECT_EQ(report.seed, GetParam());
    ExpectEveryPortServed(report, kBuiltinPorts);
    ExpectNothingLeft(report);
    EXPECT_TRUE(report.Passed());
}

// The ports' stacks through a night and a rebalance, then every way a board
// leaves: the filter passes power requests on, lets its stack stop and go,
// and is gone with the last port.
TEST_P(FilterOnTheMachine, PortsLiveThroughSleepRebalanceAndEveryWayOut)
{
    using Kind = sim::ScenarioStep::Kind;
    sim::Scenario scenario = sim::BuiltinScenario();
    scenario.steps = {{Kind::Start},   {Kind::Sleep},          {Kind::Wake},      {Kind::Stop, 0},
                      {Kind::Restart, 0}, {Kind::SurpriseRemove, 1}, {Kind::Remove, 2}, {Kind::Remove, 0}};
    const sim::MachineReport report = sim::RunScenario(scenario);
    ExpectEveryPortServed(report, kBuiltinPorts);
    for (const sim::BoardReport &board : report.boards) {
        EXPECT_EQ(board.state, "removed") << board.instancePath;
        for (const sim::PortReport &port : board.ports) EXPECT_EQ(port.state, "removed") << port.instancePath;
    }
    ExpectNothingLeft(report);
}

INSTANTIATE_TEST_SUITE_P(Seeds, FilterOnTheMachine, ::testing::Values(1u, 2u, 3u, 4u, 5u, 0xC0FFEEu));

// A machine that reaches the board's I/O through memory: the translated
// ranges are port ranges in memory space, which the filter narrows like any
// other port range, and each serial driver maps its own block and the status
// register.
using FilterOnAMemorySpaceBoard = hk::test::KernelTest;

TEST_F(FilterOnAMemorySpaceBoard, EveryPortMapsItsOwnBlock)
{
    const sim::MachineReport report = sim::RunScenario(sim::ParseScenario(
        R"({"boards": [{"bus": "pci", "hardware_ids": ["PCI\\VEN_7A3E&DEV_0050"], "ports_in_memory_space": true}]})"));
    ExpectEveryPortServed(report, {{"pci", 8}});
    const sim::BoardReport &board = report.boards.at(0);
    for (const sim::PortReport &port : board.ports) {
        ASSERT_EQ(port.translated.size(), 3u);
        EXPECT_EQ(port.translated[1].Flags & CM_RESOURCE_PORT_IO, 0) << port.location << ": the block in memory space";
    }
    ExpectNothingLeft(report);
}

}  // namespace
}  // namespace filtertest
