#include "machine.h"

#include "board_view.h"
#include "builtin_bus.h"
#include "lower_completion.h"
#include "lower_faults.h"
#include "pnp_registry.h"
#include "serial_standin.h"

#include <map>
#include <set>

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
    port.open = !node.handles.empty();
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

// Ports a step made report themselves failed.
using FailedPorts = std::set<const DeviceNode *>;

BoardReport ReportBoard(const BoardScenario &scenario, const DeviceNode *node, const SerialSnapshots &snapshots,
                        const BoardStarts &starts, const FailedPorts &failed)
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
        if (boardGone || child->state != NodeState::Removed) {
            board.ports.push_back(ReportPort(*child, snapshots));
            board.ports.back().failedByStep = failed.count(child) != 0;
        }
    return board;
}

// The port a step names: the board's n-th port node, from 1.
DeviceNode *PortOf(DeviceNode *board, size_t number)
{
    return number >= 1 && number <= board->children.size() ? board->children[number - 1] : nullptr;
}

// Whether a stop of |board| has a port to refuse it: the serial driver
// refuses query-stop only on a started port.
bool HasStartedPort(const DeviceNode *board)
{
    if (!board) return false;
    for (const DeviceNode *port : board->children)
        if (port->pdo && port->state == NodeState::Started) return true;
    return false;
}

// A refused stop or removal is a failure unless the step said it would be
// refused, or a lower driver was told to refuse (a fault sweep's plant).
// A stop is refused only by a port started when the step began: on a board
// with none (its start failed, or its ports failed and went), a stop the
// step expects to be refused goes through, and must.
void JudgeVeto(size_t index, const ScenarioStep &step, bool refused, const PnpVeto &veto, bool portsToRefuse,
               MachineReport *report)
{
    using Kind = ScenarioStep::Kind;
    const std::string where = "step " + std::to_string(index + 1);
    const bool vetoed = refused && veto.type == PNP_VetoDevice;
    const bool stop = step.kind == Kind::Stop || step.kind == Kind::Restart || step.kind == Kind::QueryStopThenCancel;
    const bool expected = !step.expectedVeto.empty() && (!stop || portsToRefuse);
    if (!vetoed) {
        if (expected) report->unexpectedVetoes.push_back(where + " was to be refused (" + step.expectedVeto + ") and was not");
        return;
    }
    const std::string text = where + ": PNP_VetoDevice " + veto.device + " (" + veto.request + " refused with " +
                             StatusText(veto.status) + ")";
    // A lower driver told to refuse a request (a fault sweep's plant) may
    // refuse this query, or, refusing another request, keep a port open
    // that a step would have taken away.
    const bool planted =
        LowerRequestFailed() && (veto.status == kLowerDriverFailure || veto.status == STATUS_DEVICE_BUSY);
    if (planted)
        report->vetoes.push_back(text + ": after a lower driver was told to refuse a request");
    else if (expected)
        report->vetoes.push_back(text + ": " + step.expectedVeto);
    else
        report->unexpectedVetoes.push_back(text);
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
        FailedPorts failedPorts;

        for (size_t index = 0; index < scenario.steps.size(); ++index) {
            const ScenarioStep &step = scenario.steps[index];
            using Kind = ScenarioStep::Kind;
            const bool onBoard = step.kind != Kind::Start && step.kind != Kind::Sleep && step.kind != Kind::Wake;
            DeviceNode *node = onBoard ? nodes[step.board] : nullptr;
            if (onBoard && !node) continue;  // its bus never reported it
            bool refused = false;  // an orderly stop or removal did not happen
            const bool portsToRefuse = HasStartedPort(node);  // before the step changes them
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
            case Kind::Stop: refused = !pnp.Stop(node); break;
            case Kind::Restart: {
                if (node->state == NodeState::Started && !pnp.Stop(node)) {
                    refused = true;
                    break;
                }
                BoardResources &at = boards[step.board].resources;
                if (step.ioBase || step.bridgeBase) {
                    if (step.ioBase) at.uartBase = *step.ioBase;
                    if (step.bridgeBase) at.bridgeBase = *step.bridgeBase;
                    slots[step.board]->Unplug();
                    slots[step.board]->Plug(at);
                    if (node->pdo) SetBoardResources(node->pdo, at);
                }
                pnp.Restart(node);  // a failed restart shows in the board's state
                break;
            }
            case Kind::Remove: refused = !pnp.Remove(node); break;
            case Kind::SurpriseRemove:
                slots[step.board]->Unplug();
                pnp.UnplugBoard(node);
                break;
            case Kind::QueryStopThenCancel: refused = !pnp.QueryStopThenCancel(node); break;
            case Kind::QueryRemoveThenCancel: refused = !pnp.QueryRemoveThenCancel(node); break;
            case Kind::Open:
            case Kind::Close:
            case Kind::DeviceControl:
            case Kind::PortFails: {
                DeviceNode *port = PortOf(node, step.port);
                if (!port) break;
                if (step.kind == Kind::Open) pnp.Open(port);
                else if (step.kind == Kind::Close) pnp.Close(port);
                else if (step.kind == Kind::DeviceControl) pnp.DeviceControl(port);
                else if (port->pdo) {
                    failedPorts.insert(port);
                    FailSerialPort(port->pdo);
                    pnp.InvalidateDeviceState(port);
                }
                break;
            }
            case Kind::Sleep: pnp.Sleep(); break;
            case Kind::Wake: pnp.Wake(); break;
            }
            JudgeVeto(index, step, refused, pnp.LastVeto(), portsToRefuse, &report);
            // A step on one board changes what that board's ports saw alone.
            TakeSnapshots(onBoard ? std::vector<DeviceNode *>{node} : pnp.Boards(), &snapshots);
        }

        for (size_t i = 0; i < boards.size(); ++i) report.boards.push_back(ReportBoard(boards[i], nodes[i], snapshots, starts, failedPorts));
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
