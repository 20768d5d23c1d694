#include "sweep.h"

#include "lower_faults.h"
#include "machine.h"
#include "memory_window.h"
#include "pnp_request.h"
#include "sweep_floor.h"

#include <hk/host.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <sstream>

namespace sim {

namespace {

const std::vector<std::string> kImagesUnderTest = {"mpsbus", "mpsfilt"};

// How a failed call must show to the Plug and Play manager: the first of
// its requests (or driver calls) whose outcome differs from the clean run's
// is |request| completed with |status|, or with exactly the status the
// failed service returned (|passedUp|); or, absorbed, none differs.
struct Outcome {
    const char *request;  // null: absorbed
    NTSTATUS status;
    bool passedUp;
};
constexpr Outcome kAbsorbed{nullptr, STATUS_SUCCESS, false};
constexpr Outcome Gives(const char *request, NTSTATUS status) { return {request, status, false}; }
// The service's own status, which each service's failure makes differ from
// what the step would put in its place.
constexpr Outcome PassedUp(const char *request) { return {request, STATUS_SUCCESS, true}; }

// The steps of the drivers that make fallible calls, by the routine that
// decides the outcome (the innermost one on the failed call's stack that is
// listed here) and the failing service (Count: any).
struct StepRule {
    const char *routine;  // "mpsbus!CaptureResources"
    hk::Service service;
    Outcome outcome;
    const char *absorbedOnBus = nullptr;  // a bus on which the step absorbs it
};

using S = hk::Service;
const StepRule kStepRules[] = {
    // Loading: the path copy; mpsfilt's DebugLevel falls back to its default.
    {"mpsbus!DriverEntry", S::Pool, Gives("DriverEntry", STATUS_INSUFFICIENT_RESOURCES)},
    {"mpsfilt!MP_GetRegistryDword", S::Count, kAbsorbed},
    {"mpsfilt!DriverEntry", S::Pool, Gives("DriverEntry", STATUS_INSUFFICIENT_RESOURCES)},
    // The board device: IoCreateDevice's status; a failed attach.
    {"mpsbus!AddBoardDevice", S::CreateDevice, PassedUp("AddDevice")},
    {"mpsbus!AddBoardDevice", S::Attach, Gives("AddDevice", STATUS_DEVICE_REMOVED)},
    // The capture completes START itself: a copy, or a mapping.
    {"mpsbus!CaptureResources", S::Pool, Gives("IRP_MN_START_DEVICE", STATUS_INSUFFICIENT_RESOURCES)},
    {"mpsbus!CaptureResources", S::MapIoSpace, Gives("IRP_MN_START_DEVICE", STATUS_NO_MEMORY)},
    // Identification: without the legacy bus type the enumerator name
    // decides, which is "ROOT" only for a root-enumerated board; a failed
    // property buffer or read otherwise ends it with its status.
    {"mpsbus!ReadProperty", S::Pool, Gives("IRP_MN_START_DEVICE", STATUS_INSUFFICIENT_RESOURCES)},
    {"mpsbus!ReadProperty", S::Property, PassedUp("IRP_MN_START_DEVICE")},
    {"mpsbus!ReadBusType", S::Property, Gives("IRP_MN_START_DEVICE", STATUS_UNSUCCESSFUL), "isa"},
    // The option registers never fail the start.
    {"mpsbus!ConfigureOptionRegisters", S::Count, kAbsorbed},
    // Port devices: IoCreateDevice's status, or a string not allocated.
    {"mpsbus!CreatePortDevices", S::CreateDevice, PassedUp("IRP_MN_START_DEVICE")},
    {"mpsbus!CreatePortDevices", S::Pool, Gives("IRP_MN_START_DEVICE", STATUS_INSUFFICIENT_RESOURCES)},
    {"mpsbus!QueryBusRelations", S::Pool, Gives("IRP_MN_QUERY_DEVICE_RELATIONS", STATUS_INSUFFICIENT_RESOURCES)},
    {"mpsbus!QueryPortId", S::Pool, Gives("IRP_MN_QUERY_ID", STATUS_INSUFFICIENT_RESOURCES)},
    {"mpsbus!QueryPortText", S::Pool, Gives("IRP_MN_QUERY_DEVICE_TEXT", STATUS_INSUFFICIENT_RESOURCES)},
    // The port's settings: the key open's or the first failed write's status.
    {"mpsbus!StartPort", S::RegistryOpen, PassedUp("IRP_MN_START_DEVICE")},
    {"mpsbus!StartPort", S::RegistryWrite, PassedUp("IRP_MN_START_DEVICE")},
    // A system power request is never failed for the device request it
    // could not ask for.
    {"mpsbus!GenericDispatchPowerForPDO", S::Irp, kAbsorbed},
    {"mpsbus!OnBoardSystemPowerDone", S::Irp, kAbsorbed},
    // The filter: AddDevice's steps, its requirements list, its START.
    {"mpsfilt!GetPortOffset", S::Pool, Gives("AddDevice", STATUS_INSUFFICIENT_RESOURCES)},
    {"mpsfilt!GetPortOffset", S::Property, PassedUp("AddDevice")},
    {"mpsfilt!Dispatch_AddDevice", S::CreateDevice, PassedUp("AddDevice")},
    {"mpsfilt!Dispatch_AddDevice", S::Attach, Gives("AddDevice", STATUS_DEVICE_REMOVED)},
    {"mpsfilt!BuildRequirementsList", S::Pool, Gives("IRP_MN_FILTER_RESOURCE_REQUIREMENTS", STATUS_INSUFFICIENT_RESOURCES)},
    // The interface block, the query request, or the lists' copies.
    {"mpsfilt!RewriteStartResources", S::Count, Gives("IRP_MN_START_DEVICE", STATUS_INSUFFICIENT_RESOURCES)},
};

// A request of a lower driver to fail: the |nth| failable request |driver|
// gets in a run.
struct LowerFault {
    std::string driver;
    unsigned nth;
    UCHAR minor;
};

// Every request the lower drivers may fail that reaches their first device
// (the serial driver's first port, the board's filter): the other ports'
// stacks take the same requests through the same code.
std::vector<LowerFault> LowerFaultsOf(const std::vector<LowerRequest> &requests)
{
    std::vector<LowerFault> faults;
    std::map<std::string, unsigned> seen;
    for (const LowerRequest &r : requests) {
        const unsigned nth = ++seen[r.driver];
        if (r.device == 0) faults.push_back(LowerFault{r.driver, nth, r.minor});
    }
    return faults;
}

const StepRule *RuleFor(const std::vector<std::string> &stack, hk::Service service)
{
    for (const std::string &frame : stack)
        for (const StepRule &rule : kStepRules)
            if (frame == rule.routine && (rule.service == S::Count || rule.service == service)) return &rule;
    return nullptr;
}

// Model indexes (SameBoardsScenario): the PCI boards with and without the
// bridge set-up that get a memory-space variant, and a PC Card that comes
// with option registers.
constexpr size_t kPb8a = 4, kCb1b = 6, kPl4a = 17;
// Boards with a UART range in memory and no bridge range: a register
// access that picks its method by the other range's space shows on them
// alone. (A PCI board's status port takes the bridge range's space, so its
// two ranges are reached the same way.)
constexpr size_t kCb2a = 7, kIb4ax = 11;
// Where a rebalance moves a board's ranges: clear of its own and of the
// next board's in SameBoardsScenario's layout.
constexpr ULONG kMovedBy = 0x800;

// One board of |model| and no steps yet. As in the built-in machine: the
// board's PDO refuses whatever went around the filter above it.
Scenario OneBoard(size_t model, bool throughMemory)
{
    Scenario scenario = SameBoardsScenario(1, model, throughMemory);
    scenario.boardLowerFilter = true;
    scenario.steps.clear();
    return scenario;
}

ScenarioStep *AddStep(Scenario &scenario, ScenarioStep::Kind kind)
{
    ScenarioStep step;
    step.kind = kind;
    scenario.steps.push_back(step);
    return &scenario.steps.back();
}

// The step that moves the board's ranges in a rebalance.
ScenarioStep *AddMovedRestart(Scenario &scenario)
{
    const BoardResources &at = scenario.boards[0].resources;
    ScenarioStep *moved = AddStep(scenario, ScenarioStep::Kind::Restart);
    moved->ioBase = at.uartBase + kMovedBy;
    if (at.bridgeBase) moved->bridgeBase = at.bridgeBase + kMovedBy;
    return moved;
}

Scenario LifeOf(size_t model, bool surprise, bool throughMemory)
{
    Scenario scenario = OneBoard(model, throughMemory);
    using Kind = ScenarioStep::Kind;
    const auto add = [&scenario](Kind kind) { return AddStep(scenario, kind); };
    // The serial driver refuses to stop a started port of a PCI or ISA
    // board with several ports: such a board's stops are vetoed and it
    // stays where it is; the PC Cards and one-port boards stop and move.
    const std::string stopVeto = PortsRefuseStop(scenario.boards[0]) ? kMultiportStopVeto : "";
    for (Kind kind : {Kind::Start, Kind::Stop, Kind::Restart, Kind::QueryStopThenCancel, Kind::QueryRemoveThenCancel}) {
        ScenarioStep *step = add(kind);
        if (kind != Kind::Start && kind != Kind::QueryRemoveThenCancel) step->expectedVeto = stopVeto;
    }
    // A rebalance that moves the board: its started ports are invalidated,
    // report FAILED with RESOURCE_REQUIREMENTS_CHANGED and start again, the
    // filter fetching the new lists.
    AddMovedRestart(scenario)->expectedVeto = stopVeto;
    // Port 1 open fails on its own and is surprise-removed alone; its board
    // goes, and only then is the port closed, which lets its removal come.
    for (Kind kind : {Kind::Sleep, Kind::Wake, Kind::Open, Kind::PortFails, surprise ? Kind::SurpriseRemove : Kind::Remove,
                      Kind::Close})
        add(kind);
    return scenario;
}

// A PCI or ISA board with several ports is stopped and moved only once
// none of its ports is started: they sleep and wake, then each reports
// itself failed and goes alone, and the board alone stops, starts again,
// is queried and moves before its removal.
Scenario IdleLifeOf(size_t model)
{
    Scenario scenario = OneBoard(model, false);
    using Kind = ScenarioStep::Kind;
    const auto add = [&scenario](Kind kind) { return AddStep(scenario, kind); };
    for (Kind kind : {Kind::Start, Kind::Sleep, Kind::Wake}) add(kind);
    for (unsigned port = 1; port <= scenario.boards[0].ports; ++port) add(Kind::PortFails)->port = port;
    // A port still started (one its bus did not report at first, or one
    // whose failure a lower driver kept from the manager) refuses them.
    for (Kind kind : {Kind::Stop, Kind::Restart, Kind::QueryStopThenCancel, Kind::QueryRemoveThenCancel})
        if (kind != Kind::QueryRemoveThenCancel) add(kind)->expectedVeto = kMultiportStopVeto;
        else add(kind);
    AddMovedRestart(scenario)->expectedVeto = kMultiportStopVeto;
    add(Kind::Remove);
    return scenario;
}

// Anything a run must not leave behind, whatever failed in it. The pool
// is not counted here: the run ends with both images unloaded, which takes
// back what they held, and reports it as POOL_LEAK among the violations.
std::vector<std::string> LeftBehind(const MachineReport &report)
{
    std::vector<std::string> problems;
    for (const hk::Violation &v : report.violations)
        problems.push_back("verifier: " + v.name + " by " + v.image + ": " + v.detail);
    for (const std::string &veto : report.unexpectedVetoes) problems.push_back("veto: " + veto);
    if (size_t devices = hk::LiveDeviceCount()) problems.push_back("device objects left: " + std::to_string(devices));
    if (size_t mappings = hk::LiveMappings().size()) problems.push_back("mappings left: " + std::to_string(mappings));
    if (size_t handles = hk::reg::OpenHandleCount())
        problems.push_back("registry handles left open: " + std::to_string(handles));
    return problems;
}

std::string CallText(const hk::FallibleCall &call)
{
    return std::string(hk::ServiceName(call.service)) + " by " + call.image;
}

std::string Joined(const std::vector<std::string> &items, const char *separator)
{
    std::string text;
    for (const std::string &item : items) text += (text.empty() ? "" : separator) + item;
    return text;
}

// The kind of node a record is about: "board", "port", or "-" for none (a
// driver's loading and unloading). Its full path depends on what the node
// answered before (a port's names carry its board's number, and a failed ID
// query leaves part of it out); whether it is a board or a port does not: a
// port's path keeps its brand's enumerator or its instance ID.
std::string NodeOf(const std::string &path)
{
    if (path.empty() || path == "-") return "-";
    if (path.find("MultiportSerial\\") != std::string::npos || path.find("PORT_") != std::string::npos)
        return "port";
    return "board";
}

// The first request whose outcome differs from the clean run's: where the
// failure surfaced. Empty when the manager saw the same life. A record is
// "<instance path>  <request> <detail>  -> <status>", compared as
// "<node>  <request> <detail>  -> <status>": the same status on the other
// kind of node is a difference.
std::string Outcome(const std::string &record)
{
    const size_t gap = record.find("  ");
    return gap == std::string::npos ? record : NodeOf(record.substr(0, gap)) + record.substr(gap);
}

// Whether a surfaced outcome is |request| (with any detail) on a |node|
// ("board" or "port"; null: any node) completed with |status|.
bool SurfacedAs(const std::string &surfaced, const char *node, const std::string &request, NTSTATUS status)
{
    const size_t gap = surfaced.find("  ");
    if (gap == std::string::npos) return false;
    const std::string rest = surfaced.substr(gap + 2);
    if (node != nullptr && surfaced.substr(0, gap) != node) return false;
    const std::string head = request + " ", tail = "-> " + StatusText(status);
    return rest.compare(0, head.size(), head) == 0 && rest.size() >= tail.size() &&
           rest.compare(rest.size() - tail.size(), tail.size(), tail) == 0;
}

// The node a driver routine's failure surfaces on: the port device's own
// routines and mpsfilt's on a port, the board's on the board, loading on
// none in particular.
const char *NodeOfStep(const StepRule &rule)
{
    const std::string routine = rule.routine;
    if (rule.outcome.request != nullptr && std::string(rule.outcome.request) == "DriverEntry") return nullptr;
    if (routine.compare(0, 8, "mpsfilt!") == 0) return "port";
    for (const char *onPort : {"mpsbus!StartPort", "mpsbus!QueryPortId", "mpsbus!QueryPortText"})
        if (routine == onPort) return "port";
    return "board";
}

std::string FirstDifference(std::vector<std::string> clean, std::vector<std::string> faulty)
{
    for (std::string &r : clean) r = Outcome(r);
    for (std::string &r : faulty) r = Outcome(r);
    const size_t common = std::min(clean.size(), faulty.size());
    for (size_t i = 0; i < common; ++i)
        if (clean[i] != faulty[i]) return faulty[i];
    if (faulty.size() > common) return faulty[common];
    if (clean.size() > common) return "(missing) " + clean[common];
    return std::string();
}

}  // namespace

std::vector<SweepCase> SweepCases()
{
    std::vector<SweepCase> cases;
    for (size_t model = 0; model < ModelCount(); ++model) {
        for (const std::string variant : {"remove", "surprise", "idle", "memory", "high", "options"}) {
            if (variant == "memory" && model != kPb8a && model != kPl4a && model != kCb2a && model != kIb4ax) continue;
            if (variant == "high" && (model != kPl4a || !kHighWindowRuns)) continue;
            if (variant == "options" && model != kCb1b) continue;
            SweepCase c;
            c.variant = variant;
            c.scenario = LifeOf(model, variant == "surprise", variant == "memory" || variant == "high");
            if (variant == "idle") {
                if (!PortsRefuseStop(c.scenario.boards[0])) continue;
                c.scenario = IdleLifeOf(model);
            }
            // Both ranges mapped above 4 GiB, the status port rebuilt there.
            if (variant == "high") c.scenario.boards[0].resources.memoryWindow = kHighMemoryWindow;
            if (variant == "options") {
                // A card whose code has the option and mode control
                // registers: the start probes them and stores the words.
                c.scenario.boards[0].hardwareIds = {"PCMCIA\\VELMORA-CB1B-05D3-004C"};
                c.scenario.boards[0].optionRegisters = OptionRegisterScenario{};
            }
            c.bus = BusKindName(c.scenario.boards[0].bus);
            cases.push_back(std::move(c));
        }
    }
    return cases;
}

bool SelectSweepCases(const std::vector<std::string> &names, std::vector<SweepCase> *cases, std::string *unknown)
{
    std::vector<SweepCase> all = SweepCases();
    // The model's name is what mpsbus makes of the board: one clean run each.
    for (SweepCase &c : all) {
        const MachineReport report = RunScenario(c.scenario);
        c.model = report.boards.empty() || report.boards[0].driver.model.empty() ? "?" : report.boards[0].driver.model;
    }
    cases->clear();
    for (const std::string &name : names) {
        const size_t before = cases->size();
        for (const SweepCase &c : all)
            if (c.model == name || c.Name() == name) cases->push_back(c);
        if (cases->size() == before) {
            *unknown = name;
            return false;
        }
    }
    if (names.empty()) *cases = all;
    return true;
}

SweepResult RunSweep(const SweepCase &sweepCase, unsigned only, std::ostream *detail)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point began = Clock::now();
    const std::clock_t cpuBegan = std::clock();
    SweepResult result;
    result.name = sweepCase.Name();
    const auto aim = [] { hk::AimFaultsAt(kImagesUnderTest); };

    const MachineReport clean = RunScenario(sweepCase.scenario, aim);
    const std::vector<hk::FallibleCall> cleanCalls = hk::CountedCalls();
    const std::vector<LowerFault> lowerFaults = LowerFaultsOf(LowerRequests());
    result.lowerRequests = unsigned(lowerFaults.size());
    result.calls = unsigned(cleanCalls.size());
    result.runs = 1;
    SweepFinding cleanFinding;
    cleanFinding.problems = LeftBehind(clean);
    for (const std::string &below : CallsBelowFloor(sweepCase.scenario.boards[0], cleanCalls))
        cleanFinding.problems.push_back(below);
    if (!clean.Passed()) cleanFinding.problems.push_back("the clean run did not pass");
    for (const BoardReport &board : clean.boards)
        if (board.state != "removed") cleanFinding.problems.push_back("the board ends " + board.state);
    if (!cleanFinding.problems.empty()) result.findings.push_back(cleanFinding);

    for (unsigned failing = only ? only : 1; failing <= (only ? only : result.calls); ++failing) {
        if (failing > result.calls) break;
        const MachineReport report = RunScenario(sweepCase.scenario, [&] {
            aim();
            hk::FailNthCallOverall(failing);
        });
        ++result.runs;
        SweepFinding finding;
        finding.failingCall = failing;
        finding.stack = hk::FailedCallStack();
        const NTSTATUS failedStatus = hk::FailedCallStatus();
        const std::vector<hk::FallibleCall> calls = hk::CountedCalls();
        if (failing <= cleanCalls.size()) finding.call = CallText(cleanCalls[failing - 1]);
        finding.problems = LeftBehind(report);
        if (finding.stack.empty()) {
            finding.problems.push_back("call " + std::to_string(failing) + " was never made");
        } else {
            ++result.faults;
            if (calls.size() < failing || failing > cleanCalls.size() ||
                CallText(calls[failing - 1]) != CallText(cleanCalls[failing - 1]))
                finding.problems.push_back("the failed call is not the clean run's call " + std::to_string(failing));
        }
        const std::string surfaced = FirstDifference(clean.pnpLog, report.pnpLog);
        if (!finding.stack.empty() && failing <= cleanCalls.size()) {
            const hk::FallibleCall &call = cleanCalls[failing - 1];
            const StepRule *rule = RuleFor(finding.stack, call.service);
            std::string expected;
            if (rule == nullptr) {
                finding.problems.push_back("no step claims this call");
            } else if (rule->outcome.request == nullptr ||
                       (rule->absorbedOnBus && sweepCase.bus == rule->absorbedOnBus)) {
                if (!surfaced.empty()) finding.problems.push_back("expected the failure absorbed, but: " + surfaced);
            } else {
                expected = std::string(rule->outcome.request) + " ";
                const NTSTATUS want = rule->outcome.passedUp ? failedStatus : rule->outcome.status;
                if (rule->outcome.passedUp && NT_SUCCESS(want))
                    finding.problems.push_back("the failed call returned no status to pass up");
                const char *node = NodeOfStep(*rule);
                if (!SurfacedAs(surfaced, node, rule->outcome.request, want))
                    finding.problems.push_back("expected " + expected + "-> " + StatusText(want) + " on " +
                                               (node ? node : "any node") + ", but: " +
                                               (surfaced.empty() ? "nothing changed" : surfaced));
            }
        }
        if (detail)
            *detail << result.name << " call " << failing << " (" << finding.call << ") in "
                    << Joined(finding.stack, " < ") << "\n    surfaced: " << (surfaced.empty() ? "-" : surfaced)
                    << "\n";
        if (!finding.problems.empty()) result.findings.push_back(finding);
    }

    // Then each request a lower driver may fail, failed by that driver; the
    // runs are numbered on after the drivers' own calls.
    for (size_t k = 0; k < lowerFaults.size(); ++k) {
        const unsigned number = result.calls + unsigned(k) + 1;
        if (only && only != number) continue;
        const LowerFault &fault = lowerFaults[k];
        const MachineReport report = RunScenario(sweepCase.scenario, [&] {
            aim();
            FailLowerRequest(fault.driver, fault.nth);
        });
        ++result.runs;
        SweepFinding finding;
        finding.failingCall = number;
        finding.call = std::string(PnpMinorName(fault.minor)) + " failed by " + fault.driver;
        finding.problems = LeftBehind(report);
        const std::string surfaced = FirstDifference(clean.pnpLog, report.pnpLog);
        if (!LowerRequestFailed()) {
            finding.problems.push_back("the " + fault.driver + " never got its request " + std::to_string(fault.nth));
        } else {
            ++result.faults;
            // Whatever the drivers above make of it, the manager must see
            // the lower driver's own status on that very request.
            // The serial driver refuses on a port, the board's lower filter on the board.
            const char *node = fault.driver == "serial" ? "port" : "board";
            if (!SurfacedAs(surfaced, node, PnpMinorName(fault.minor), kLowerDriverFailure))
                finding.problems.push_back("expected " + std::string(PnpMinorName(fault.minor)) + " -> " +
                                           StatusText(kLowerDriverFailure) + " on the " + node + ", but: " +
                                           (surfaced.empty() ? "nothing changed" : surfaced));
        }
        if (detail)
            *detail << result.name << " run " << number << " (" << finding.call << ")\n    surfaced: "
                    << (surfaced.empty() ? "-" : surfaced) << "\n";
        if (!finding.problems.empty()) result.findings.push_back(finding);
    }
    result.seconds = std::chrono::duration<double>(Clock::now() - began).count();
    result.cpuSeconds = double(std::clock() - cpuBegan) / CLOCKS_PER_SEC;
    return result;
}

int SweepCommand(const std::vector<std::string> &names, unsigned only, bool trace, std::ostream &out)
{
    std::vector<SweepCase> cases;
    std::string unknown;
    if (!SelectSweepCases(names, &cases, &unknown)) {
        out << "mpsim --sweep: no model or case " << unknown << "\n";
        return 2;
    }
    if (only && cases.size() != 1) {
        out << "mpsim --sweep: --fail replays one case (MODEL/VARIANT)\n";
        return 2;
    }
    SweepResult total;
    size_t failedRuns = 0;
    for (const SweepCase &c : cases) {
        const SweepResult r = RunSweep(c, only, only || trace ? &out : nullptr);
        char line[200];
        std::snprintf(line, sizeof(line), "%-22s %-7s calls %4u  lower %3u  runs %4u  faults %4u  failures %3zu  %6.2f s (CPU %.2f s)\n",
                      r.name.c_str(), c.bus.c_str(), r.calls, r.lowerRequests, r.runs, r.faults, r.findings.size(), r.seconds,
                      r.cpuSeconds);
        out << line;
        for (const SweepFinding &f : r.findings) {
            out << "  FAILED " << r.name << " call " << f.failingCall;
            if (!f.call.empty())
                out << " (" << f.call << (f.stack.empty() ? "" : " in " + Joined(f.stack, " < ")) << ")";
            const hk::Windows windows = MachineWindows();
            out << ": replay with mpsim"
                << (windows == hk::Windows::W2000 ? std::string()
                                                  : std::string(" --windows ") + hk::WindowsInfo(windows).name)
                << " --sweep " << r.name << " --fail " << f.failingCall << "\n";
            for (const std::string &p : f.problems) out << "    " << p << "\n";
        }
        total.calls += r.calls;
        total.lowerRequests += r.lowerRequests;
        total.runs += r.runs;
        total.faults += r.faults;
        total.seconds += r.seconds;
        total.cpuSeconds += r.cpuSeconds;
        failedRuns += r.findings.size();
    }
    char line[200];
    std::snprintf(line, sizeof(line), "Total: %zu cases, %u calls, %u lower driver requests, %u runs, %u faults injected, %zu failing runs, %.1f s (CPU %.1f s)\n",
                  cases.size(), total.calls, total.lowerRequests, total.runs, total.faults, failedRuns, total.seconds, total.cpuSeconds);
    out << line;
    return failedRuns == 0 ? 0 : 1;
}

}  // namespace sim
