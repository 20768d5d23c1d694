#include "machine.h"

#include "board_view.h"
#include "builtin_bus.h"
#include "lower_completion.h"
#include "lower_faults.h"
#include "pnp_registry.h"
#include "serial_standin.h"

#include <map>

namespace sim {

namespace {

// Where mpsfilt looks for its DebugLevel.
const char kFilterParameters[] = "\\VelmoraMultiportSerial\\Parameters";

const char *CheckName(CheckResult result)
{
    switch (result) {
    case CheckResult::Ok: return "ok";
    case CheckResult::Failed: return "failed";
    case CheckResult::NotRun: break;
    }
    return "not run";
}

// What the serial driver saw of each port, kept across steps: a port that
// is later removed still shows what it was given at its last start.
using SerialSnapshots = std::map<const DeviceNode *, SerialPortRecord>;

// Each board's last START: the lists it carried and what the bus driver made
// of them, taken before a failed start takes the stack down.
struct BoardStart {
    std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> raw, translated;
    BoardDriverView driver;
};
using BoardStarts = std::map<const DeviceNode *, BoardStart>;

void TakeSnapshots(const std::vector<DeviceNode *> &boards, SerialSnapshots *snapshots)
{
    for (DeviceNode *board : boards)
        for (DeviceNode *node : ParentsFirst(board))
            if (node->pdo)
                if (const SerialPortRecord *record = SerialRecordFor(node->pdo)) (*snapshots)[node] = *record;
}

std::vector<std::pair<std::string, hk::reg::Value>> DeviceKeyValues(const DeviceNode &node)
{
    if (node.instancePath.empty()) return {};
    return hk::reg::Values(hk::DeviceParametersPath(node.instancePath));
}

PortReport ReportPort(const DeviceNode &node, const SerialSnapshots &snapshots)
{
    PortReport port;
    port.deviceId = node.deviceId;
    port.instanceId = node.instanceId;
    port.instancePath = node.instancePath;
    port.hardwareIds = node.hardwareIds;
    port.description = node.description;
    port.location = node.location;
    port.state = NodeStateName(node.state);
    port.status = node.status;
    port.problem = node.problem;
    port.registry = DeviceKeyValues(node);
    auto seen = snapshots.find(&node);
    if (seen != snapshots.end()) {
        const SerialPortRecord &record = seen->second;
        port.raw = record.raw;
        port.translated = record.translated;
        port.loopback = CheckName(record.loopback);
        port.statusRegister = CheckName(record.statusRegister);
        port.checkDetail = record.checkDetail;
    }
    return port;
}

BoardReport ReportBoard(const BoardScenario &scenario, const DeviceNode *node, const SerialSnapshots &snapshots,
                        const BoardStarts &starts)
{
    BoardReport board;
    board.bus = BusKindName(scenario.bus);
    board.hardwareIds = scenario.hardwareIds;
    if (!node) {
        board.state = "removed";  // never plugged in
        board.problem = "not in the machine";
        return board;
    }
    board.instancePath = node->instancePath;
    board.state = NodeStateName(node->state);
    board.status = node->status;
    board.problem = node->problem;
    board.registry = DeviceKeyValues(*node);
    auto start = starts.find(node);
    if (start != starts.end()) {
        board.raw = start->second.raw;
        board.translated = start->second.translated;
        board.driver = start->second.driver;
    }
    // Ports a restart replaced are history; a board that is gone shows the
    // ports it had.
    const bool boardGone = node->state == NodeState::Removed || node->state == NodeState::Failed;
    for (const DeviceNode *child : node->children)
        if (boardGone || child->state != NodeState::Removed) board.ports.push_back(ReportPort(*child, snapshots));
    return board;
}

}  // namespace

namespace {
hk::Windows machineWindows = hk::Windows::W2000;
}  // namespace

void SetMachineWindows(hk::Windows windows) { machineWindows = windows; }
hk::Windows MachineWindows() { return machineWindows; }

void ApplyWindows(const Scenario &scenario)
{
    hk::SetWindowsVersion(scenario.windows.value_or(machineWindows));
    if (scenario.wdmVersionGiven) hk::SetWdmVersion(scenario.wdmMajor, scenario.wdmMinor);
}

MachineReport RunScenario(const Scenario &scenario, const std::function<void()> &afterReset)
{
    // Checked before anything runs: the machine is never left half-run.
    bool started = false;
    for (const ScenarioStep &step : scenario.steps) {
        using Kind = ScenarioStep::Kind;
        if (step.kind == Kind::Start) started = true;
        if (!started && step.kind != Kind::Sleep && step.kind != Kind::Wake)
            throw ScenarioError("steps: board " + std::to_string(step.board) + " is not in the machine yet");
    }

    hk::ResetKernel();
    ResetSerialRecords();
    ResetLowerFaults();
    if (afterReset) afterReset();
    ApplyWindows(scenario);
    if (scenario.filterDebugLevel)
        hk::reg::SetDword(std::string(kServicesPath) + kFilterParameters, "DebugLevel", *scenario.filterDebugLevel);

    MachineReport report;
    report.seed = CompletionSeed();
    {
        PnpManager pnp(InstallDatabase::Default(scenario.boardLowerFilter));
        pnp.RegisterBuiltinDriver(kSerialService, SerialDriverEntry);
        BoardStarts starts;
        pnp.SetStartObserver([&starts](const DeviceNode &node, const PnpManager::Descriptors &raw,
                                       const PnpManager::Descriptors &translated) {
            if (!node.parent) starts[&node] = BoardStart{raw, translated, ReadBoardDriverView(node.pdo)};
        });

        std::vector<BoardScenario> boards = scenario.boards;
        std::vector<std::unique_ptr<BoardSlot>> slots;
        for (const BoardScenario &board : boards) slots.push_back(std::make_unique<BoardSlot>(board));
        std::vector<DeviceNode *> nodes(boards.size(), nullptr);
        SerialSnapshots snapshots;

        for (const ScenarioStep &step : scenario.steps) {
            using Kind = ScenarioStep::Kind;
            const bool onBoard = step.kind != Kind::Start && step.kind != Kind::Sleep && step.kind != Kind::Wake;
            DeviceNode *node = onBoard ? nodes[step.board] : nullptr;
            if (onBoard && !node) continue;  // its bus never reported it
            switch (step.kind) {
            case Kind::Start:
                for (size_t i = 0; i < boards.size(); ++i) {
                    if (nodes[i]) continue;
                    slots[i]->Plug(boards[i].resources);
                    BoardDescription description = DescribeBoard(boards[i]);
                    BoardSlot *slot = slots[i].get();
                    description.setHardwarePower = [slot](DEVICE_POWER_STATE state) { slot->SetPower(state); };
                    nodes[i] = pnp.PlugBoard(description);
                }
                break;
            case Kind::Stop: pnp.Stop(node); break;
            case Kind::Restart: {
                if (node->state == NodeState::Started && !pnp.Stop(node)) break;
                BoardResources &at = boards[step.board].resources;
                if (step.ioBase || step.bridgeBase) {
                    if (step.ioBase) at.uartBase = *step.ioBase;
                    if (step.bridgeBase) at.bridgeBase = *step.bridgeBase;
                    slots[step.board]->Unplug();
                    slots[step.board]->Plug(at);
                    if (node->pdo) SetBoardResources(node->pdo, at);
                }
                pnp.Restart(node);
                break;
            }
            case Kind::Remove: pnp.Remove(node); break;
            case Kind::SurpriseRemove:
                slots[step.board]->Unplug();
                pnp.UnplugBoard(node);
                break;
            case Kind::QueryStopThenCancel: pnp.QueryStopThenCancel(node); break;
            case Kind::QueryRemoveThenCancel: pnp.QueryRemoveThenCancel(node); break;
            case Kind::Sleep: pnp.Sleep(); break;
            case Kind::Wake: pnp.Wake(); break;
            }
            // A step on one board changes what that board's ports saw alone.
            TakeSnapshots(onBoard ? std::vector<DeviceNode *>{node} : pnp.Boards(), &snapshots);
        }

        for (size_t i = 0; i < boards.size(); ++i) report.boards.push_back(ReportBoard(boards[i], nodes[i], snapshots, starts));
        pnp.ShutDown();
        for (const PnpRequestRecord &r : pnp.Requests())
            report.pnpLog.push_back((r.instancePath.empty() ? std::string("-") : r.instancePath) + "  " + r.request +
                                    (r.detail.empty() ? "" : " " + r.detail) + "  -> " + StatusText(r.status));
        for (auto &slot : slots) slot->Unplug();
    }

    for (const std::string &image : hk::DebugImages()) {
        const std::string text = hk::DebugOutput(image);
        if (!text.empty()) report.debugOutput[image] = text;
    }
    report.violations = hk::Violations();
    for (const hk::PoolBlock &block : hk::LivePool()) ++report.poolOutstanding[block.owner];
    report.ioLog = hk::IoLog();
    return report;
}

}  // namespace sim
