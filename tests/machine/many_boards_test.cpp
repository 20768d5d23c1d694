// Machines of many boards: every model in turn starts with all its ports,
// boards of one model are numbered in order, and a machine larger than the
// x86 I/O space still gives every board ranges of its own.
#include "machine.h"

#include "support/kernel_test.h"

#include <gmock/gmock.h>

namespace {

class ManyBoardsTest : public hk::test::KernelTest {};

const char *const kModelNames[] = {
    "PB2-A", "PB2-B", "PB4-A", "PB4-B", "PB8-A", "CB1-A", "CB1-B", "CB2-A", "CB2-B", "CB4-A", "CB4-B", "IB4-AX",
    "IB4-AY", "IB4-BX", "IB4-BY", "IB8-AX", "IB8-AY", "PL4-A", "PL2-A", "PL1-A", "PL4-B", "PL2-B", "PL1-B",
};

TEST_F(ManyBoardsTest, EveryModelInTurnStartsEveryPortAndBoardsOfAModelAreNumberedInOrder)
{
    const size_t models = sim::ModelCount();
    ASSERT_EQ(models, std::size(kModelNames));
    const sim::MachineReport report = sim::RunScenario(sim::ManyBoardsScenario(2 * models));
    EXPECT_TRUE(report.Passed());
    EXPECT_TRUE(report.violations.empty());
    EXPECT_TRUE(report.poolOutstanding.empty());
    ASSERT_EQ(report.boards.size(), 2 * models);
    for (size_t n = 0; n < report.boards.size(); ++n) {
        SCOPED_TRACE("board " + std::to_string(n));
        const sim::BoardReport &board = report.boards[n];
        EXPECT_EQ(board.driver.model, kModelNames[n % models]);
        EXPECT_EQ(board.driver.number, n < models ? "1" : "2");
        EXPECT_EQ(board.ports.size(), board.driver.ports);
        for (const sim::PortReport &port : board.ports) EXPECT_EQ(port.loopback, "ok") << port.instancePath;
    }
}

// Every range of the layout, as (space, start, length).
std::vector<std::tuple<bool, ULONG, ULONG>> RangesOf(const sim::Scenario &scenario)
{
    std::vector<std::tuple<bool, ULONG, ULONG>> ranges;
    for (const sim::BoardScenario &b : scenario.boards) {
        ranges.emplace_back(b.resources.inMemorySpace, b.resources.uartBase, b.resources.uartLength);
        if (b.bus == sim::BusKind::Pci) ranges.emplace_back(b.resources.inMemorySpace, b.resources.bridgeBase, 128);
    }
    std::sort(ranges.begin(), ranges.end());
    return ranges;
}

TEST_F(ManyBoardsTest, BoardsPastTheIoSpaceAreAllReachedThroughMemoryAtRangesOfTheirOwn)
{
    for (size_t count : {size_t(240), size_t(241), size_t(512)}) {
        SCOPED_TRACE(std::to_string(count) + " boards");
        const sim::Scenario scenario = sim::ManyBoardsScenario(count);
        const bool throughMemory = count > 240;
        const auto ranges = RangesOf(scenario);
        for (size_t i = 0; i < ranges.size(); ++i) {
            const auto &[memory, start, length] = ranges[i];
            EXPECT_EQ(memory, throughMemory);
            if (!throughMemory) EXPECT_LE(start + length, 0x10000u) << "outside the x86 I/O space";
            if (i + 1 < ranges.size()) EXPECT_LE(start + length, std::get<1>(ranges[i + 1])) << "overlapping";
        }
    }
}

TEST_F(ManyBoardsTest, AMachineOfBoardsThroughMemoryStartsThemAll)
{
    // PB8-A boards reached through memory although three would fit the I/O
    // space, as the benchmark runs them: every register through a mapping.
    const sim::MachineReport report = sim::RunScenario(sim::SameBoardsScenario(3, 4, true));
    EXPECT_TRUE(report.Passed());
    ASSERT_EQ(report.boards.size(), 3u);
    for (const sim::BoardReport &board : report.boards) {
        EXPECT_TRUE(board.driver.uart.mapped);
        EXPECT_EQ(board.ports.size(), 8u);
    }
}

}  // namespace
