// One life of a board of each bus (start, stop, restart, remove) on the
// oldest Windows the x86 images load on, Windows 7, Windows 8.1 and current
// Windows 11. Every nonpaged block the drivers take is NX where Windows has
// NX pool, Driver Verifier (its code integrity check included) finds
// nothing, and everything else the drivers do is the same on every version:
// register accesses, requests and their statuses, traces, pool blocks and
// bytes. Windows 2000 is the version every other test runs on, so its
// figures are the ones those tests pin.
#include "machine.h"

#include "support/kernel_test.h"

#include <string>
#include <tuple>
#include <vector>

namespace {

struct Life {
    sim::MachineReport report;
    std::vector<hk::PoolBlock> allocations;  // the drivers' own, in order
};

// What must be alike on every version: who allocated how much, with which
// tag, from paged or nonpaged pool.
using Allocation = std::tuple<std::string, size_t, ULONG, bool>;
std::vector<Allocation> Shapes(const std::vector<hk::PoolBlock> &blocks)
{
    std::vector<Allocation> shapes;
    for (const hk::PoolBlock &b : blocks) shapes.emplace_back(b.owner, b.size, b.tag, (b.type & PagedPool) != 0);
    return shapes;
}

std::vector<std::string> Accesses(const std::vector<hk::IoAccess> &log)
{
    std::vector<std::string> lines;
    for (const hk::IoAccess &a : log)
        lines.push_back(a.image + (a.write ? " w " : " r ") + std::to_string(a.port) + "/" + std::to_string(a.width) +
                        " " + std::to_string(a.value) + (a.memorySpace ? " m" : ""));
    return lines;
}

class WindowsVersions : public hk::test::KernelTest {
protected:
    // |windows| absent: the version the host models unless told, as every
    // other test runs.
    static Life Live(const hk::Windows *windows)
    {
        sim::Scenario scenario = sim::BuiltinScenario();
        if (windows) scenario.windows = *windows;
        scenario.steps.clear();
        scenario.steps.push_back(sim::ScenarioStep{});
        for (sim::ScenarioStep::Kind kind : {sim::ScenarioStep::Kind::Stop, sim::ScenarioStep::Kind::Restart,
                                             sim::ScenarioStep::Kind::Remove})
            for (size_t board = 0; board < scenario.boards.size(); ++board) {
                sim::ScenarioStep step;
                step.kind = kind;
                step.board = board;
                // The serial driver refuses to stop a port of a multiport card.
                if (kind != sim::ScenarioStep::Kind::Remove && sim::PortsRefuseStop(scenario.boards[board]))
                    step.expectedVeto = "a port on a multiport card is never stopped";
                scenario.steps.push_back(step);
            }
        Life life;
        life.report = sim::RunScenario(scenario);
        for (const hk::PoolBlock &block : hk::PoolAllocations())
            if (block.owner == "mpsbus" || block.owner == "mpsfilt") life.allocations.push_back(block);
        return life;
    }
};

TEST_F(WindowsVersions, EachLifeIsTodaysWithNoExecutePoolFromWindows8)
{
    const Life today = Live(nullptr);
    const struct {
        hk::Windows windows;
        POOL_TYPE nonPaged;
    } versions[] = {{hk::Windows::W2000, NonPagedPool},
                    {hk::Windows::W7, NonPagedPool},
                    {hk::Windows::W81, NonPagedPoolNx},
                    {hk::Windows::W11, NonPagedPoolNx}};
    for (const auto &v : versions) {
        SCOPED_TRACE(hk::WindowsInfo(v.windows).title);
        const Life life = Live(&v.windows);
        const sim::MachineReport &report = life.report;
        ASSERT_EQ(3u, report.boards.size());
        for (const sim::BoardReport &board : report.boards) EXPECT_EQ("removed", board.state) << board.instancePath;
        EXPECT_TRUE(report.violations.empty()) << report.violations.front().name << ": "
                                               << report.violations.front().detail;
        EXPECT_TRUE(report.poolOutstanding.empty());
        EXPECT_TRUE(report.unexpectedVetoes.empty()) << report.unexpectedVetoes.front();

        size_t nonPaged = 0;
        for (const hk::PoolBlock &block : life.allocations) {
            if (block.type & PagedPool) {
                EXPECT_EQ(PagedPool, block.type) << block.owner << ", " << block.size << " bytes";
            } else {
                EXPECT_EQ(v.nonPaged, block.type) << block.owner << ", " << block.size << " bytes";
                ++nonPaged;
            }
        }
        // The list copies of each board's start and of the PC Card's restart
        // (the multiport boards' stops are refused), and the identity strings
        // of 14 ports.
        EXPECT_EQ(2u * (3 + 1) + 3u * 14, nonPaged);

        EXPECT_EQ(Shapes(today.allocations), Shapes(life.allocations));
        EXPECT_EQ(Accesses(today.report.ioLog), Accesses(report.ioLog));
        EXPECT_EQ(today.report.pnpLog, report.pnpLog);
        EXPECT_EQ(today.report.debugOutput, report.debugOutput);
        if (v.windows == hk::Windows::W2000) {
            for (size_t i = 0; i < life.allocations.size(); ++i)
                EXPECT_EQ(today.allocations[i].type, life.allocations[i].type) << i;
        }
    }
}

}  // namespace
