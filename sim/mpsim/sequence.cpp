#include "sequence.h"

#include "board_view.h"
#include "builtin_bus.h"
#include "lower_completion.h"
#include "machine.h"
#include "pnp_request.h"
#include "serial_standin.h"

#include "PciChild/mpsfilt.h"
#include "PciParent/mpsbus.h"
#include "port_bus_interface.h"

#include <atomic>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <thread>
#include <iostream>

namespace sim {

namespace {

const char *const kImages[] = {"mpsbus", "mpsfilt"};
constexpr size_t kImageCount = 2;

// Each board has a region of its own, four 256-byte places in it: the board
// starts at the first and a move takes it to another, so no two boards ever
// claim the same range. PCI bridge ranges sit 0x80 above the UARTs.
constexpr ULONG kRegionBase = 0x1000;
constexpr ULONG kPlace = 0x100;
constexpr ULONG kPlacesPerBoard = 4;
constexpr ULONG kBridgeOffset = 0x80;

// Interface calls per querying thread and step.
constexpr int kMinCalls = 2;
constexpr int kMaxCalls = 40;

enum class Op { Plug, QueryStopCancel, Stop, Restart, MoveRestart, QueryRemoveCancel, Remove, SurpriseRemove, Sleep, Wake };

const char *OpName(Op op)
{
    switch (op) {
    case Op::Plug: return "plug in";
    case Op::QueryStopCancel: return "query-stop, cancel-stop";
    case Op::Stop: return "stop";
    case Op::Restart: return "restart";
    case Op::MoveRestart: return "restart at moved ranges";
    case Op::QueryRemoveCancel: return "query-remove, cancel-remove";
    case Op::Remove: return "remove";
    case Op::SurpriseRemove: return "surprise removal";
    case Op::Sleep: return "sleep";
    case Op::Wake: return "wake";
    }
    return "?";
}

std::string Hex(ULONGLONG value)
{
    std::ostringstream text;
    text << "0x" << std::hex << std::uppercase << value;
    return text.str();
}

struct Board {
    BoardScenario scenario;
    std::unique_ptr<BoardSlot> slot;
    DeviceNode *node = nullptr;  // the latest node, null before the first plug
    bool everPlugged = false;
    std::string model, number;   // drawn at the latest plug
    std::map<std::string, ULONG> portPaths;  // instance path -> port number, at the latest start
    size_t nonpaged[kImageCount] = {};        // what the latest plug took
};

// The device of |service| in |pdo|'s stack, or null.
PDEVICE_OBJECT DeviceOf(PDEVICE_OBJECT pdo, const char *service)
{
    PDRIVER_OBJECT driver = hk::DriverOf(service);
    if (!driver || !pdo) return nullptr;
    for (PDEVICE_OBJECT device = pdo->AttachedDevice; device; device = device->AttachedDevice)
        if (device->DriverObject == driver) return device;
    return nullptr;
}

BoardExtension *BoardExtensionOf(const DeviceNode *node)
{
    PDEVICE_OBJECT device = node ? DeviceOf(node->pdo, "mpsbus") : nullptr;
    return device ? BoardOf(device) : nullptr;
}

bool Live(const DeviceNode *node) { return node && node->pdo && node->state != NodeState::Removed; }

ULONG PortNumberOf(const DeviceNode *port)
{
    const std::string prefix = "PORT_";
    if (port->instanceId.compare(0, prefix.size(), prefix) != 0) return 0;
    return ULONG(std::strtoul(port->instanceId.c_str() + prefix.size(), nullptr, 10));
}

void PoolOf(size_t nonpaged[kImageCount], size_t paged[kImageCount])
{
    for (size_t i = 0; i < kImageCount; ++i) nonpaged[i] = paged[i] = 0;
    for (const hk::PoolBlock &block : hk::LivePool())
        for (size_t i = 0; i < kImageCount; ++i)
            if (block.owner == kImages[i]) ++(block.type == NonPagedPool ? nonpaged : paged)[i];
}

// ------------------------------------------------------ interface threads
// The bus interface from the top of |pdo|'s stack, as mpsfilt asks for it.
NTSTATUS QueryInterface(PDEVICE_OBJECT pdo, PortBusInterface *bus)
{
    const IrpOutcome outcome = SendToStack(pdo, IRP_MJ_PNP, IRP_MN_QUERY_INTERFACE, [bus](PIO_STACK_LOCATION s) {
        s->Parameters.QueryInterface.InterfaceType = &GUID_PORT_BUS_INTERFACE;
        s->Parameters.QueryInterface.Size = sizeof(PortBusInterface);
        s->Parameters.QueryInterface.Version = PORT_BUS_INTERFACE_VERSION;
        s->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(bus);
        s->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
    });
    return outcome.status;
}

// What a port stack's client does: asks the top of the stack for the bus
// interface (the request passes mpsfilt and the serial driver on its way to
// the port device), takes a second reference, fetches the board's lists,
// frees them and gives both references back.
struct InterfaceRound {
    std::vector<PDEVICE_OBJECT> ports;  // port PDOs whose stacks stay for the step
    // References taken before the step on ports of a board the step removes:
    // a thread uses each during the step and gives it back, so the removal
    // has to wait for it.
    std::vector<PortBusInterface> held;
    std::atomic<bool> stepDone{false};
    std::atomic<size_t> calls{0};
    std::mutex problemsLock;
    std::vector<std::string> problems;

    void Problem(const std::string &what)
    {
        std::lock_guard<std::mutex> hold(problemsLock);
        if (problems.size() < 4) problems.push_back(what);
    }

    // The lists a port gets: the UART range and, where the board has one,
    // the one-byte status port at offset 7 of that range, from one capture.
    void CheckLists(PCM_RESOURCE_LIST raw, PCM_RESOURCE_LIST translated)
    {
        for (PCM_RESOURCE_LIST list : {raw, translated}) {
            const CM_PARTIAL_RESOURCE_LIST &partial = list->List[0].PartialResourceList;
            if (list->Count != 1 || partial.Count == 0 || partial.Count > 4) {
                Problem("GetResourceLists gave a list of " + std::to_string(partial.Count) + " descriptors");
                return;
            }
            const CM_PARTIAL_RESOURCE_DESCRIPTOR *uart = nullptr, *status = nullptr;
            for (ULONG i = 0; i < partial.Count; ++i) {
                const CM_PARTIAL_RESOURCE_DESCRIPTOR &d = partial.PartialDescriptors[i];
                if (d.Type != CmResourceTypePort) continue;
                (d.u.Port.Length == 1 ? status : uart) = &d;
            }
            if (!uart || (status && status->u.Port.Start.QuadPart != uart->u.Port.Start.QuadPart + 7))
                Problem("GetResourceLists gave a status port that is not register 7 of its UART range");
        }
    }

    void Use(const PortBusInterface &bus)
    {
        PCM_RESOURCE_LIST raw = nullptr, translated = nullptr;
        const NTSTATUS status = bus.GetResourceLists(bus.Context, &raw, &translated);
        ++calls;
        if (status != STATUS_SUCCESS || !raw || !translated) {
            Problem("GetResourceLists failed with " + Hex(ULONG(status)));
            return;
        }
        CheckLists(raw, translated);
        ExFreePool(raw);
        ExFreePool(translated);
    }

    void QueryAndUse(PDEVICE_OBJECT pdo)
    {
        PortBusInterface bus{};
        const NTSTATUS status = QueryInterface(pdo, &bus);
        if (status != STATUS_SUCCESS) {
            Problem("the port stack refused the bus interface: " + Hex(ULONG(status)));
            return;
        }
        bus.InterfaceReference(bus.Context);
        Use(bus);
        bus.InterfaceDereference(bus.Context);
        bus.InterfaceDereference(bus.Context);
    }

    void Worker(uint32_t seed, size_t index)
    {
        std::mt19937 random(seed);
        if (index < held.size()) {
            // Keeps its reference a while into the step, then lets go.
            const int uses = 1 + int(random() % 20);
            for (int i = 0; i < uses && !stepDone.load(); ++i) {
                Use(held[index]);
                std::this_thread::yield();
            }
            held[index].InterfaceDereference(held[index].Context);
            return;
        }
        if (ports.empty()) return;
        // A few calls at least, more while the step runs, never without end.
        for (int round = 0; round < kMinCalls || (!stepDone.load() && round < kMaxCalls); ++round) {
            QueryAndUse(ports[random() % ports.size()]);
            std::this_thread::yield();
        }
    }
};

// ------------------------------------------------------------ the machine
class Sequence {
public:
    Sequence(uint32_t seed, bool moves, std::ostream *log) : seed_(seed), moves_(moves), random_(seed), log_(log) {}

    SequenceResult Run(size_t steps)
    {
        hk::ResetKernel();
        ResetSerialRecords();
        SetCompletionSeed(seed_);
        PnpManager pnp(InstallDatabase::Default(true));
        pnp.RegisterBuiltinDriver(kSerialService, SerialDriverEntry);
        pnp_ = &pnp;
        MakeBoards();
        for (size_t i = 0; i < boards_.size() && result_.passed; ++i) {
            Step(Op::Plug, i);
        }
        while (result_.steps < steps && result_.passed) {
            Op op;
            size_t board;
            Choose(&op, &board);
            Step(op, board);
        }
        if (result_.passed && asleep_) Step(Op::Wake, 0);
        pnp.ShutDown();
        for (Board &b : boards_) b.slot->Unplug();
        pnp_ = nullptr;
        return result_;
    }

private:
    void MakeBoards()
    {
        // Three to five boards of models drawn at random; every bus is there.
        const Scenario catalogue = ManyBoardsScenario(ModelCount());
        const size_t count = 3 + random_() % 3;
        for (size_t i = 0; i < count; ++i) {
            Board b;
            // The first three take one bus each, so every machine mixes them.
            size_t model = random_() % ModelCount();
            const BusKind want = i == 0 ? BusKind::Pci : i == 1 ? BusKind::Pcmcia : BusKind::Root;
            while (i < 3 && catalogue.boards[model].bus != want) model = random_() % ModelCount();
            b.scenario = catalogue.boards[model];
            b.scenario.resources.inMemorySpace = random_() % 4 == 0;
            Place(i, 0, &b.scenario.resources);
            b.slot = std::make_unique<BoardSlot>(b.scenario);
            boards_.push_back(std::move(b));
        }
    }

    void Place(size_t board, ULONG place, BoardResources *at) const
    {
        at->uartBase = kRegionBase + kPlace * (ULONG(board) * kPlacesPerBoard + place);
        at->bridgeBase = at->uartBase + kBridgeOffset;
    }

    bool Started(size_t i) const { return Live(boards_[i].node) && boards_[i].node->state == NodeState::Started; }
    bool Stopped(size_t i) const { return Live(boards_[i].node) && boards_[i].node->state == NodeState::Stopped; }
    bool Present(size_t i) const { return Live(boards_[i].node); }
    size_t PresentCount() const
    {
        size_t n = 0;
        for (size_t i = 0; i < boards_.size(); ++i) n += Present(i);
        return n;
    }

    void Choose(Op *op, size_t *board)
    {
        if (asleep_) {
            *op = Op::Wake;
            *board = 0;
            return;
        }
        static const Op kOps[] = {Op::Plug,   Op::QueryStopCancel,   Op::Stop,   Op::Restart,        Op::MoveRestart,
                                  Op::MoveRestart, Op::QueryRemoveCancel, Op::Remove, Op::SurpriseRemove, Op::Sleep};
        for (;;) {
            *op = kOps[random_() % (sizeof(kOps) / sizeof(kOps[0]))];
            *board = random_() % boards_.size();
            const size_t i = *board;
            switch (*op) {
            case Op::Plug: if (!Present(i)) return; break;
            case Op::Stop:
            case Op::QueryStopCancel:
            case Op::QueryRemoveCancel:
            case Op::Remove: if (Started(i)) return; break;
            case Op::Restart: if (Stopped(i)) return; break;
            case Op::MoveRestart: if (moves_ && (Started(i) || Stopped(i))) return; break;
            case Op::SurpriseRemove: if (Present(i)) return; break;
            // A stopped board is started again before the machine sleeps.
            case Op::Sleep: {
                bool anyStopped = false;
                for (size_t b = 0; b < boards_.size(); ++b) anyStopped |= Stopped(b);
                if (!anyStopped) return;
                break;
            }
            case Op::Wake: break;
            }
        }
    }

    // ------------------------------------------------------------ a step
    void Step(Op op, size_t i)
    {
        ++result_.steps;
        Board &b = boards_[i];
        std::string what = "step " + std::to_string(result_.steps) + ": " + OpName(op);
        if (op != Op::Sleep && op != Op::Wake)
            what += " board " + std::to_string(i) + " (" + BusKindName(b.scenario.bus) + " " +
                    b.scenario.hardwareIds.front() + ")";

        BoardResources moved = b.scenario.resources;
        if (op == Op::MoveRestart) {
            const ULONG current = (moved.uartBase - kRegionBase) / kPlace % kPlacesPerBoard;
            Place(i, (current + 1 + random_() % (kPlacesPerBoard - 1)) % kPlacesPerBoard, &moved);
            what += " UART " + Hex(moved.uartBase);
        }
        if (log_) *log_ << what << "\n";

        const bool removes = op == Op::Remove || op == Op::SurpriseRemove || op == Op::Plug;
        size_t before[kImageCount], paged[kImageCount];
        PoolOf(before, paged);

        InterfaceRound round;
        for (size_t other = 0; other < boards_.size(); ++other) {
            if (removes && other == i) continue;
            for (DeviceNode *port : PortNodes(other))
                if (port->state == NodeState::Started) round.ports.push_back(port->pdo);
        }
        // References held into a removal, unless the removal unloads mpsbus
        // (its code would go while a thread is still on its way out of it).
        if ((op == Op::Remove || op == Op::SurpriseRemove) && PresentCount() > 1)
            for (DeviceNode *port : PortNodes(i)) {
                if (port->state != NodeState::Started || round.held.size() == 2) continue;
                round.held.emplace_back();
                if (QueryInterface(port->pdo, &round.held.back()) != STATUS_SUCCESS) round.held.pop_back();
            }
        const size_t threads = round.held.size() + (round.ports.empty() ? 0 : 2);
        std::vector<std::thread> workers;
        for (size_t t = 0; t < threads; ++t)
            workers.emplace_back([&round, t, s = uint32_t(random_())] { round.Worker(s, t); });

        DoStep(op, i, moved);

        round.stepDone = true;
        for (std::thread &w : workers) w.join();
        // A request a lower driver completes from its own thread may still be
        // on its way back up through the drivers' completion routines.
        JoinLowerCompletions();
        result_.interfaceCalls += round.calls.load();
        for (const std::string &problem : round.problems) Fail("interface threads: " + problem);

        if (op == Op::Plug) TakeIdentity(i, before);
        if (op == Op::Remove || op == Op::SurpriseRemove)
            for (size_t k = 0; k < kImageCount; ++k) b.nonpaged[k] = 0;
        CheckInvariants(op, i);
        // Said before the shutdown: a driver that holds a remove lock it
        // should have released keeps the removal waiting for ever.
        if (!result_.passed) {
            if (log_) *log_ << "  broken after " << what << "\n  " << result_.failure << "\n";
            else std::cout << "seed " << seed_ << ": " << result_.failure << "\n";
            std::cout.flush();
        }
    }

    void DoStep(Op op, size_t i, const BoardResources &moved)
    {
        Board &b = boards_[i];
        switch (op) {
        case Op::Plug: {
            // A removed board is taken out of its slot before it goes in again.
            if (b.node && b.node->pdo) {
                b.slot->Unplug();
                pnp_->UnplugBoard(b.node);
            }
            b.slot->Plug(b.scenario.resources);
            BoardDescription description = DescribeBoard(b.scenario);
            BoardSlot *slot = b.slot.get();
            description.setHardwarePower = [slot](DEVICE_POWER_STATE state) { slot->SetPower(state); };
            b.node = pnp_->PlugBoard(description);
            b.everPlugged = true;
            break;
        }
        case Op::QueryStopCancel: pnp_->QueryStopThenCancel(b.node); break;
        case Op::Stop: pnp_->Stop(b.node); break;
        case Op::Restart: pnp_->Restart(b.node); break;
        case Op::MoveRestart:
            if (Started(i) && !pnp_->Stop(b.node)) break;
            b.scenario.resources = moved;
            b.slot->Unplug();
            b.slot->Plug(moved);
            SetBoardResources(b.node->pdo, moved);
            pnp_->Restart(b.node);
            break;
        case Op::QueryRemoveCancel: pnp_->QueryRemoveThenCancel(b.node); break;
        case Op::Remove: pnp_->Remove(b.node); break;
        case Op::SurpriseRemove:
            b.slot->Unplug();
            pnp_->UnplugBoard(b.node);
            break;
        case Op::Sleep:
            pnp_->Sleep();
            asleep_ = true;
            break;
        case Op::Wake:
            pnp_->Wake();
            asleep_ = false;
            break;
        }
    }

    std::vector<DeviceNode *> PortNodes(size_t i) const
    {
        std::vector<DeviceNode *> ports;
        if (!Live(boards_[i].node)) return ports;
        for (DeviceNode *child : boards_[i].node->children)
            if (Live(child)) ports.push_back(child);
        return ports;
    }

    // What a plug drew: the board's number (new for its model) and the pool
    // the board took.
    void TakeIdentity(size_t i, const size_t before[kImageCount])
    {
        Board &b = boards_[i];
        size_t after[kImageCount], paged[kImageCount];
        PoolOf(after, paged);
        for (size_t k = 0; k < kImageCount; ++k) b.nonpaged[k] = after[k] - before[k];
        b.number.clear();
        b.portPaths.clear();
        if (!Started(i)) return;
        const BoardDriverView view = ReadBoardDriverView(b.node->pdo);
        b.model = view.model;
        b.number = view.number;
        Check(numbersDrawn_[b.model].insert(b.number).second,
              "names: board " + std::to_string(i) + " drew number " + b.number + " that its model " + b.model +
                  " had before");
        for (DeviceNode *port : PortNodes(i)) b.portPaths[port->instancePath] = PortNumberOf(port);
    }

    // ------------------------------------------------------- invariants
    void Check(bool holds, const std::string &what)
    {
        ++result_.invariantChecks;
        if (!holds) Fail(what);
    }

    void Fail(const std::string &what)
    {
        if (!result_.passed) return;
        result_.passed = false;
        result_.failure = what;
    }

    void CheckInvariants(Op op, size_t stepped)
    {
        // A reloaded mpsbus counts every model's boards from 1 again.
        if (!hk::DriverOf("mpsbus")) numbersDrawn_.clear();
        for (size_t i = 0; i < boards_.size(); ++i) CheckBoard(op, stepped, i);
        CheckPool();
        const std::vector<hk::Violation> violations = hk::Violations();
        Check(violations.empty(), violations.empty() ? "" : "verifier: " + violations.front().name + " (" +
                                                               violations.front().image + "): " +
                                                               violations.front().detail);
    }

    void CheckBoard(Op op, size_t stepped, size_t i)
    {
        Board &b = boards_[i];
        const std::string name = "board " + std::to_string(i);
        if (!Present(i)) {
            bool anyLive = false;
            if (b.node)
                for (DeviceNode *child : b.node->children) anyLive |= Live(child);
            Check(!anyLive, "relations: " + name + " is gone but a port node of it is still there");
            return;
        }
        const std::vector<DeviceNode *> ports = PortNodes(i);
        if (BoardExtension *board = BoardExtensionOf(b.node)) {
            Check(board->InterfaceRefCount == 0, "balance: " + name + " holds " +
                                                     std::to_string(board->InterfaceRefCount) +
                                                     " interface references after the threads finished");
            Check(board->RemoveLock.Common.IoCount == 1,
                  "balance: " + name + "'s remove lock counts " + std::to_string(board->RemoveLock.Common.IoCount) +
                      " with nothing in flight");
        }
        for (DeviceNode *port : ports)
            if (PDEVICE_OBJECT filter = DeviceOf(port->pdo, "mpsfilt"))
                Check(FilterOf(filter)->RemoveLock.Common.IoCount == 1,
                      "balance: the filter of " + port->instancePath + " holds its remove lock with nothing in flight");

        if (!Started(i)) {
            for (DeviceNode *port : ports)
                Check(Stopped(i) || port->state != NodeState::Started,
                      "relations: " + port->instancePath + " is started under " + name + " that is not");
            return;
        }
        CheckRelations(name, b, ports);

        // Names: a stop and a restart change neither the number nor the ports.
        if (op != Op::Plug || stepped != i) {
            const BoardDriverView view = ReadBoardDriverView(b.node->pdo);
            Check(view.number == b.number, "names: " + name + " has number " + view.number + ", had " + b.number);
            std::map<std::string, ULONG> paths;
            for (DeviceNode *port : ports) paths[port->instancePath] = PortNumberOf(port);
            Check(paths == b.portPaths, "names: the port device names of " + name + " changed");
        }

        // Placement: each started port at its own block of where the board is now.
        const BoardResources &at = b.scenario.resources;
        for (DeviceNode *port : ports) {
            if (port->state != NodeState::Started) {
                Check(false, "placement: " + port->instancePath + " of started " + name + " is " +
                                 NodeStateName(port->state));
                continue;
            }
            const SerialPortRecord *record = SerialRecordFor(port->pdo);
            const ULONGLONG want = at.uartBase + 8ull * (PortNumberOf(port) - 1);
            ULONGLONG got = 0;
            if (record)
                for (const CM_PARTIAL_RESOURCE_DESCRIPTOR &d : record->raw)
                    if (d.Type == CmResourceTypePort && d.u.Port.Length == 8) got = ULONGLONG(d.u.Port.Start.QuadPart);
            Check(got == want, "placement: the serial driver of " + port->instancePath + " works at UART " +
                                   Hex(got) + ", its block of the board is at " + Hex(want));
            Check(record && record->loopback == CheckResult::Ok,
                  "placement: the loopback test of " + port->instancePath + " did not pass" +
                      (record ? ": " + record->checkDetail : std::string()));
        }
    }

    // Bus relations, asked as the PnP manager asks them.
    void CheckRelations(const std::string &name, const Board &b, const std::vector<DeviceNode *> &ports)
    {
        const IrpOutcome outcome = SendToStack(b.node->pdo, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS,
                                               [](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceRelations.Type = BusRelations; });
        std::set<PDEVICE_OBJECT> reported, known;
        auto *relations = reinterpret_cast<PDEVICE_RELATIONS>(outcome.information);
        if (NT_SUCCESS(outcome.status) && relations) {
            for (ULONG k = 0; k < relations->Count; ++k) {
                reported.insert(relations->Objects[k]);
                ObDereferenceObject(relations->Objects[k]);
            }
            ExFreePool(relations);
        }
        for (DeviceNode *port : ports) known.insert(port->pdo);
        Check(NT_SUCCESS(outcome.status) && reported == known && known.size() == b.portPaths.size(),
              "relations: started " + name + " reports " + std::to_string(reported.size()) + " ports, has " +
                  std::to_string(known.size()) + " port nodes");
    }

    void CheckPool()
    {
        size_t nonpaged[kImageCount], paged[kImageCount];
        PoolOf(nonpaged, paged);
        for (size_t k = 0; k < kImageCount; ++k) {
            size_t want = 0;
            for (const Board &b : boards_) want += b.nonpaged[k];
            Check(nonpaged[k] == want, std::string("pool: ") + kImages[k] + " holds " + std::to_string(nonpaged[k]) +
                                           " nonpaged blocks, the present boards took " + std::to_string(want));
            // What a loaded image holds in paged pool stays until it unloads.
            const bool loaded = hk::DriverOf(kImages[k]) != nullptr;
            if (!loaded) {
                Check(paged[k] == 0, std::string("pool: ") + kImages[k] + " is unloaded and holds paged pool");
                pagedAtLoad_[k] = -1;
            } else if (pagedAtLoad_[k] < 0) {
                pagedAtLoad_[k] = long(paged[k]);
            } else {
                Check(long(paged[k]) == pagedAtLoad_[k], std::string("pool: ") + kImages[k] + " holds " +
                                                             std::to_string(paged[k]) + " paged blocks, " +
                                                             std::to_string(pagedAtLoad_[k]) + " before");
            }
        }
    }

    uint32_t seed_;
    bool moves_;
    std::mt19937 random_;
    std::ostream *log_;
    PnpManager *pnp_ = nullptr;
    std::vector<Board> boards_;
    bool asleep_ = false;
    std::map<std::string, std::set<std::string>> numbersDrawn_;  // by model
    long pagedAtLoad_[kImageCount] = {-1, -1};
    SequenceResult result_;
};

}  // namespace

SequenceResult RunSequence(uint32_t seed, size_t steps, bool moves, std::ostream *log)
{
    return Sequence(seed, moves, log).Run(steps);
}

}  // namespace sim
