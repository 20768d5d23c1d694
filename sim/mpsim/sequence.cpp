#include "sequence.h"

#include "board_view.h"
#include "builtin_bus.h"
#include "lower_completion.h"
#include "machine.h"
#include "memory_window.h"
#include "pnp_resources.h"
#include "pnp_request.h"
#include "serial_standin.h"

#include "PciChild/mpsfilt.h"
#include "PciParent/mpsbus.h"
#include "port_bus_interface.h"

#include <algorithm>
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

// Interface rounds per step, and the chance (1 in kRoundChance) that one
// runs before any given request of the step.
constexpr int kMinCalls = 4;
constexpr int kMaxCalls = 80;
constexpr unsigned kRoundChance = 4;
// A held reference is let go before one of the step's first requests, or
// once the removal waits for it.
constexpr unsigned kHeldReleasePoints = 8;

enum class Op {
    Plug,
    QueryStopCancel,
    Stop,
    Restart,
    MoveRestart,
    QueryRemoveCancel,
    Remove,
    SurpriseRemove,
    Sleep,
    Wake,
    Open,
    Close,
    PortFails,
};

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
    case Op::Open: return "open a port of";
    case Op::Close: return "close a port of";
    case Op::PortFails: return "an open port fails, its board goes, then the port is closed:";
    }
    return "?";
}

std::string Hex(ULONGLONG value)
{
    std::ostringstream text;
    text << "0x" << std::hex << std::uppercase << value;
    return text.str();
}

// Device objects a board's stacks hold: its PDO, the host's lower filter
// and mpsbus; each port's PDO, the serial driver and mpsfilt.
constexpr size_t kBoardStackDevices = 3;
constexpr size_t kPortStackDevices = 3;

// Pool of the drivers' images, by image and pool type (0 nonpaged, 1 paged).
struct PoolUse {
    long long blocks[kImageCount][2] = {};
    long long bytes[kImageCount][2] = {};

    PoolUse &Add(const PoolUse &other, long long sign = 1)
    {
        for (size_t k = 0; k < kImageCount; ++k)
            for (size_t t = 0; t < 2; ++t) {
                blocks[k][t] += sign * other.blocks[k][t];
                bytes[k][t] += sign * other.bytes[k][t];
            }
        return *this;
    }
    bool operator==(const PoolUse &other) const
    {
        for (size_t k = 0; k < kImageCount; ++k)
            for (size_t t = 0; t < 2; ++t)
                if (blocks[k][t] != other.blocks[k][t] || bytes[k][t] != other.bytes[k][t]) return false;
        return true;
    }
    // The first image and pool type where |this| differs from |want|.
    std::string Against(const PoolUse &want, const std::string &what) const
    {
        for (size_t k = 0; k < kImageCount; ++k)
            for (size_t t = 0; t < 2; ++t)
                if (blocks[k][t] != want.blocks[k][t] || bytes[k][t] != want.bytes[k][t])
                    return std::string(kImages[k]) + " holds " + std::to_string(blocks[k][t]) + " " +
                           (t ? "paged" : "nonpaged") + " blocks (" + std::to_string(bytes[k][t]) + " bytes), " +
                           what + " " + std::to_string(want.blocks[k][t]) + " (" + std::to_string(want.bytes[k][t]) +
                           " bytes)";
        return std::string();
    }
};

PoolUse PoolNow()
{
    PoolUse use;
    for (const hk::PoolBlock &block : hk::LivePool())
        for (size_t k = 0; k < kImageCount; ++k)
            if (block.owner == kImages[k]) {
                const size_t t = (block.type & PagedPool) ? 1 : 0;
                ++use.blocks[k][t];
                use.bytes[k][t] += static_cast<long long>(block.size);
            }
    return use;
}

// What the machine should make of a board after the steps so far.
enum class Want { Out, Started, Stopped };

struct Board {
    BoardScenario scenario;
    std::unique_ptr<BoardSlot> slot;
    DeviceNode *node = nullptr;  // the latest node, null before the first plug
    bool everPlugged = false;
    Want want = Want::Out;
    std::string model, number;   // drawn at the latest plug
    std::map<std::string, ULONG> portPaths;  // instance path -> port number, at the latest start
    PoolUse holds;               // what a board of its kind takes, while present
    std::set<DeviceNode *> open; // ports with a handle open on them
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

// ------------------------------------------------------ interface threads
// The bus interface, asked of |top|, the top of a port's stack, as mpsfilt
// asks for it.
NTSTATUS QueryInterface(PDEVICE_OBJECT top, PortBusInterface *bus)
{
    hk::Request request;
    request.minor = IRP_MN_QUERY_INTERFACE;
    request.fill = [bus](PIO_STACK_LOCATION s) {
        s->Parameters.QueryInterface.InterfaceType = &GUID_PORT_BUS_INTERFACE;
        s->Parameters.QueryInterface.Size = sizeof(PortBusInterface);
        s->Parameters.QueryInterface.Version = PORT_BUS_INTERFACE_VERSION;
        s->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(bus);
        s->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
    };
    const hk::RequestResult result = hk::SendRequest(top, request);
    return result.completed ? result.status : STATUS_DRIVER_INTERNAL_ERROR;
}

// What a port stack's client does: asks the top of the stack for the bus
// interface (the request passes mpsfilt and the serial driver on its way to
// the port device), takes a second reference, fetches the board's lists,
// frees them and gives both references back. Each client acts on a thread
// of its own at a point the seed picks: before one of the step's requests
// (the manager waits for it), alongside one (started before it, waited for
// once it is back), or, holding a reference into a removal, once the
// removal waits for it on the board's remove lock. The same seed makes the
// same points, so a failing seed replays (exactly, unless the failure needs
// a round that overlapped its request).
struct InterfaceRound {
    // The top of each port stack the threads use, referenced for the step as
    // an open handle holds it: a port that a failing step takes down is then
    // refused to them, not freed under them.
    std::vector<PDEVICE_OBJECT> ports;
    // References taken before the step on ports of a board the step removes:
    // a thread uses each during the step and gives it back, so the removal
    // has to wait for it.
    std::vector<PortBusInterface> held;
    // The event the stepped board's removal waits on for the references.
    const KEVENT *removalWait = nullptr;
    std::unique_ptr<std::atomic<bool>[]> released;
    std::vector<unsigned> releaseAt;  // the request before which; past the last: at the removal's wait
    std::mt19937 random;
    unsigned requests = 0;
    int rounds = 0;
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

    void QueryAndUse(PDEVICE_OBJECT top)
    {
        PortBusInterface bus{};
        const NTSTATUS status = QueryInterface(top, &bus);
        if (status != STATUS_SUCCESS) {
            Problem("the port stack refused the bus interface: " + Hex(ULONG(status)));
            return;
        }
        bus.InterfaceReference(bus.Context);
        Use(bus);
        bus.InterfaceDereference(bus.Context);
        bus.InterfaceDereference(bus.Context);
    }

    // Uses a held reference a few times, then lets it go: once, by whoever
    // claims it first.
    void Release(size_t index, int uses)
    {
        if (released[index].exchange(true)) return;
        for (int i = 0; i < uses; ++i) Use(held[index]);
        held[index].InterfaceDereference(held[index].Context);
    }

    // |work| on a thread of its own, waited for.
    static void OnItsOwnThread(const std::function<void()> &work) { std::thread(work).join(); }

    void Prepare(uint32_t seed)
    {
        random.seed(seed);
        released.reset(new std::atomic<bool>[held.size()]);
        for (size_t h = 0; h < held.size(); ++h) {
            released[h] = false;
            releaseAt.push_back(unsigned(random() % (kHeldReleasePoints + 1)));
        }
    }

    // Around each request of the step: the clients whose point it is act.
    void AroundRequest(bool before)
    {
        if (!before) {
            if (alongside.joinable()) alongside.join();
            return;
        }
        const unsigned point = requests++;
        for (size_t h = 0; h < held.size(); ++h)
            if (releaseAt[h] == point) {
                const int uses = 1 + int(random() % 20);
                OnItsOwnThread([this, h, uses] { Release(h, uses); });
            }
        if (!ports.empty() && rounds < kMaxCalls && random() % kRoundChance == 0) {
            ++rounds;
            PDEVICE_OBJECT top = ports[random() % ports.size()];
            // One round beside the requests in flight at a time (a request
            // may send others while it is handled).
            if (random() % 2 && !alongside.joinable()) alongside = std::thread([this, top] { QueryAndUse(top); });
            else OnItsOwnThread([this, top] { QueryAndUse(top); });
        }
    }
    std::thread alongside;  // a round running beside the request in flight

    // A holder whose point has not come when the removal waits for it lets
    // go then (or, if the removal never waits, after the step).
    std::vector<std::thread> StartHolders()
    {
        std::vector<std::thread> holders;
        for (size_t h = 0; h < held.size(); ++h) {
            const int uses = 1 + int(random() % 20);
            holders.emplace_back([this, h, uses] {
                if (removalWait) hk::AwaitWaiterOn(removalWait, [this, h] { return stepDone.load() || released[h].load(); });
                Release(h, uses);
            });
        }
        return holders;
    }

    // After the step: every held reference given back, and a few rounds at least.
    void Finish()
    {
        if (alongside.joinable()) alongside.join();
        for (size_t h = 0; h < held.size(); ++h) Release(h, 1);
        while (!ports.empty() && rounds < kMinCalls) {
            ++rounds;
            PDEVICE_OBJECT top = ports[random() % ports.size()];
            OnItsOwnThread([this, top] { QueryAndUse(top); });
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
        hk::SetWindowsVersion(MachineWindows());
        ResetSerialRecords();
        SetCompletionSeed(seed_);
        PnpManager pnp(InstallDatabase::Default(true));
        pnp.RegisterBuiltinDriver(kSerialService, SerialDriverEntry);
        pnp_ = &pnp;
        MakeBoards();
        MeasureImagesAlone();
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
        if (result_.passed) CheckShutDown();
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
            boards_.push_back(std::move(b));
        }
        // The PC Card or the ISA board is reached through memory: a UART
        // range in memory space beside no bridge range, where a register
        // routine that asks the wrong range how to reach it shows. One with
        // several UARTs, so that mpsbus checks its status register there.
        size_t throughMemory = 1 + random_() % 2;
        if (boards_[throughMemory].scenario.ports < 2) throughMemory = 3 - throughMemory;
        boards_[throughMemory].scenario.resources.inMemorySpace = true;
        for (Board &b : boards_) b.scenario.resources.memoryWindow = SequenceMemoryWindow(seed_);
        if (log_) *log_ << "I/O space through memory at " << Hex(SequenceMemoryWindow(seed_)) << "\n";
        for (Board &b : boards_) b.slot = std::make_unique<BoardSlot>(b.scenario);
    }

    // What each image holds from load to unload, whatever boards there are,
    // measured before the first plug: loaded alone, then unloaded again.
    void MeasureImagesAlone()
    {
        for (size_t k = 0; k < kImageCount && result_.passed; ++k) {
            const PoolUse before = PoolNow();
            const hk::LoadedDriver loaded = hk::LoadDriver(kImages[k]);
            Check(loaded.driver && NT_SUCCESS(loaded.entryStatus),
                  std::string("images: ") + kImages[k] + " did not load: " + Hex(ULONG(loaded.entryStatus)));
            if (!loaded.driver) return;
            own_.Add(PoolNow()).Add(before, -1);
            if (log_)
                *log_ << kImages[k] << " loaded alone holds " << own_.blocks[k][0] << " nonpaged blocks ("
                      << own_.bytes[k][0] << " bytes) and " << own_.blocks[k][1] << " paged (" << own_.bytes[k][1]
                      << " bytes)\n";
            // The unload takes back whatever the image still holds, so a
            // pool comparison after it cannot fail: a leak shows as the
            // verifier's POOL_LEAK at the unload, reported here.
            hk::UnloadDriver(kImages[k]);
            CheckVerifier(std::string("images: ") + kImages[k] + " loaded and unloaded alone: ");
        }
        if (!result_.passed) Report("the images loaded alone");
    }

    // The part of |own_| of the images loaded now.
    PoolUse OwnOfLoaded() const
    {
        PoolUse use;
        for (size_t k = 0; k < kImageCount; ++k)
            if (hk::DriverOf(kImages[k]))
                for (size_t t = 0; t < 2; ++t) {
                    use.blocks[k][t] = own_.blocks[k][t];
                    use.bytes[k][t] = own_.bytes[k][t];
                }
        return use;
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
                                  Op::MoveRestart, Op::QueryRemoveCancel, Op::Remove, Op::SurpriseRemove, Op::Sleep,
                                  Op::Open,   Op::Open,              Op::Close,  Op::PortFails};
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
            case Op::Open: if (Started(i) && boards_[i].open.size() < PortNodes(i).size()) return; break;
            case Op::Close: if (!boards_[i].open.empty()) return; break;
            case Op::PortFails: if (Started(i) && PresentCount() > 1) return; break;
            }
        }
    }

    std::string BoardName(size_t i) const
    {
        const Board &b = boards_[i];
        return "board " + std::to_string(i) + " (" + BusKindName(b.scenario.bus) + " " +
               b.scenario.hardwareIds.front() + (b.scenario.resources.inMemorySpace ? ", through memory" : "") + ")";
    }

    // ------------------------------------------------------------ a step
    void Step(Op op, size_t i)
    {
        ++result_.steps;
        Board &b = boards_[i];
        std::string what = "step " + std::to_string(result_.steps) + ": " + OpName(op);
        if (op != Op::Sleep && op != Op::Wake) what += " " + BoardName(i);

        BoardResources moved = b.scenario.resources;
        if (op == Op::MoveRestart) {
            const ULONG current = (moved.uartBase - kRegionBase) / kPlace % kPlacesPerBoard;
            Place(i, (current + 1 + random_() % (kPlacesPerBoard - 1)) % kPlacesPerBoard, &moved);
            what += " UART " + Hex(moved.uartBase);
        }
        if (log_) *log_ << what << "\n";

        const bool removes = op == Op::Remove || op == Op::SurpriseRemove || op == Op::Plug || op == Op::PortFails;
        const PoolUse before = PoolNow();
        const PoolUse ownBefore = OwnOfLoaded();

        InterfaceRound round;
        for (size_t other = 0; other < boards_.size(); ++other) {
            if (removes && other == i) continue;
            for (DeviceNode *port : PortNodes(other))
                if (port->state == NodeState::Started) round.ports.push_back(IoGetAttachedDeviceReference(port->pdo));
        }
        // References held into a removal, unless the removal unloads mpsbus
        // (its code would go while a thread is still on its way out of it).
        if ((op == Op::Remove || op == Op::SurpriseRemove) && PresentCount() > 1)
            for (DeviceNode *port : PortNodes(i)) {
                if (port->state != NodeState::Started || round.held.size() == 2) continue;
                round.held.emplace_back();
                PDEVICE_OBJECT top = IoGetAttachedDeviceReference(port->pdo);
                if (QueryInterface(top, &round.held.back()) != STATUS_SUCCESS) round.held.pop_back();
                ObDereferenceObject(top);
            }
        if (BoardExtension *board = BoardExtensionOf(boards_[i].node)) round.removalWait = &board->RemoveLock.Common.RemoveEvent;
        round.Prepare(uint32_t(random_()));
        std::vector<std::thread> holders = round.StartHolders();
        pnp_->SetRequestObserver([&round](bool before) { round.AroundRequest(before); });

        const std::string note = DoStep(op, i, moved);
        if (!note.empty() && log_) *log_ << "  " << note << "\n";

        pnp_->SetRequestObserver(nullptr);
        round.stepDone = true;
        for (std::thread &h : holders) h.join();
        round.Finish();
        // A request a lower driver completes from its own thread may still be
        // on its way back up through the drivers' completion routines.
        JoinLowerCompletions();
        for (PDEVICE_OBJECT port : round.ports) ObDereferenceObject(port);
        result_.interfaceCalls += round.calls.load();

        if (op == Op::Plug) TakeIdentity(i, PoolUse(PoolNow()).Add(before, -1).Add(OwnOfLoaded(), -1).Add(ownBefore));
        CheckInvariants(op, i, what);
        // After the boards' state: a board that failed to start refuses its
        // ports' clients too.
        for (const std::string &problem : round.problems) Fail("interface threads: " + problem);
        // Said before the shutdown: a driver that holds a remove lock it
        // should have released keeps the removal waiting for ever.
        if (!result_.passed) Report(what);
    }

    void Report(const std::string &what)
    {
        if (log_) *log_ << "  broken after " << what << "\n  " << result_.failure << "\n";
        if (log_ != &std::cout) std::cout << "seed " << seed_ << ": " << result_.failure << "\n";
        std::cout.flush();
    }

    // Whether the serial driver refuses to stop a port of board |i|: a
    // started port on a PCI or ISA board with several.
    bool PortsRefuseStopOf(size_t i) const
    {
        if (!PortsRefuseStop(boards_[i].scenario)) return false;
        for (DeviceNode *port : PortNodes(i))
            if (port->state == NodeState::Started) return true;
        return false;
    }

    // Why the step's stop or removal is to be refused: an open port's serial
    // driver refuses both queries, and a port on a multiport card every stop
    // (checked first). Empty: nothing may refuse it.
    std::string ExpectedVeto(size_t i, bool stop) const
    {
        if (stop && PortsRefuseStopOf(i)) return kMultiportStopVeto;
        if (boards_[i].open.empty()) return std::string();
        return "a port of " + BoardName(i) + " is open";
    }

    // A refused stop or removal must be the one the step expects, refused
    // by the stack that has reason to; anything else is a driver's fault.
    // Returns whether it was refused.
    bool Judge(bool done, size_t i, const std::string &what)
    {
        const bool stop = what.find("stop") != std::string::npos;
        const std::string expected = ExpectedVeto(i, stop);
        const PnpVeto &veto = pnp_->LastVeto();
        if (done) {
            Check(expected.empty(), "veto: the " + what + " of " + BoardName(i) + " went through though " + expected);
            return false;
        }
        bool byOpenPort = false;
        for (DeviceNode *port : boards_[i].open) byOpenPort |= port->instancePath == veto.device;
        if (stop && PortsRefuseStopOf(i)) {
            // Any of its started ports, the first the manager asked.
            bool byStartedPort = false;
            for (DeviceNode *port : PortNodes(i))
                byStartedPort |= port->state == NodeState::Started && port->instancePath == veto.device;
            Check(byStartedPort && veto.status == STATUS_NOT_SUPPORTED && veto.type == PNP_VetoDevice,
                  "veto: the " + what + " of " + BoardName(i) + " was refused by " + veto.device + " (" +
                      veto.request + ", " + Hex(ULONG(veto.status)) + "), not by a port on a multiport card");
            return true;
        }
        Check(!expected.empty() && byOpenPort && veto.type == PNP_VetoDevice,
              "veto: the " + what + " of " + BoardName(i) + " was refused by " + veto.device + " (" + veto.request +
                  ", " + Hex(ULONG(veto.status)) + ")" + (expected.empty() ? ", which no step expects" : ""));
        return true;
    }

    // A random port of board |i|: open ones when |open|, else started closed ones.
    DeviceNode *PickPort(size_t i, bool open)
    {
        std::vector<DeviceNode *> candidates;
        for (DeviceNode *port : PortNodes(i))
            if ((boards_[i].open.count(port) != 0) == open && (open || port->state == NodeState::Started))
                candidates.push_back(port);
        return candidates.empty() ? nullptr : candidates[random_() % candidates.size()];
    }

    // The board leaves the machine by the way |surprise| says; a handle
    // still open on one of its ports is closed afterwards, by which its
    // removal waits.
    void TakeOut(size_t i, bool surprise)
    {
        Board &b = boards_[i];
        if (surprise) {
            b.slot->Unplug();
            pnp_->UnplugBoard(b.node);
        } else {
            Judge(pnp_->Remove(b.node), i, "removal");
        }
        for (DeviceNode *port : b.open) Check(NT_SUCCESS(pnp_->Close(port)), "handles: closing " + port->instancePath + " failed");
        b.open.clear();
    }

    // Runs the step and sets what the board should be after it. A stop or
    // removal refused as the step expects (an open port) leaves the board as
    // it was: the returned note says so.
    std::string DoStep(Op op, size_t i, const BoardResources &moved)
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
            b.want = Want::Started;
            break;
        }
        case Op::QueryStopCancel:
            if (Judge(pnp_->QueryStopThenCancel(b.node), i, "query-stop")) return "vetoed, as expected";
            break;
        case Op::Stop:
            if (Judge(pnp_->Stop(b.node), i, "stop")) return "the stop was vetoed: the board stays started";
            b.want = Want::Stopped;
            break;
        case Op::Restart:
            b.want = Want::Started;
            if (!pnp_->Restart(b.node)) return "the restart failed: " + b.node->problem;
            break;
        case Op::MoveRestart:
            if (Started(i) && Judge(pnp_->Stop(b.node), i, "stop"))
                return "the stop was vetoed: the board stays started where it was";
            b.scenario.resources = moved;
            b.slot->Unplug();
            b.slot->Plug(moved);
            SetBoardResources(b.node->pdo, moved);
            b.want = Want::Started;
            if (!pnp_->Restart(b.node)) return "the restart at the moved ranges failed: " + b.node->problem;
            break;
        case Op::QueryRemoveCancel:
            if (Judge(pnp_->QueryRemoveThenCancel(b.node), i, "query-remove")) return "vetoed, as expected";
            break;
        case Op::Remove:
            if (Judge(pnp_->Remove(b.node), i, "removal")) return "the removal was vetoed: the board stays started";
            b.want = Want::Out;
            break;
        case Op::SurpriseRemove:
            TakeOut(i, true);
            b.want = Want::Out;
            break;
        case Op::Sleep:
            pnp_->Sleep();
            asleep_ = true;
            break;
        case Op::Wake:
            pnp_->Wake();
            asleep_ = false;
            break;
        case Op::Open: {
            DeviceNode *port = PickPort(i, false);
            if (!port) return "no closed started port";
            const NTSTATUS status = pnp_->Open(port);
            Check(status == STATUS_SUCCESS, "handles: opening " + port->instancePath + " gave " + Hex(ULONG(status)));
            if (NT_SUCCESS(status)) b.open.insert(port);
            // The serial driver is exclusive: a second open is refused.
            const NTSTATUS second = pnp_->Open(port);
            Check(second == STATUS_ACCESS_DENIED,
                  "handles: a second open of " + port->instancePath + " gave " + Hex(ULONG(second)));
            return "opened " + port->instancePath;
        }
        case Op::Close: {
            DeviceNode *port = PickPort(i, true);
            Check(NT_SUCCESS(pnp_->Close(port)), "handles: closing " + port->instancePath + " failed");
            b.open.erase(port);
            return "closed " + port->instancePath;
        }
        case Op::PortFails: {
            // The failing port is surprise-removed alone; its board goes
            // before the port is closed, orderly when nothing else is open.
            DeviceNode *port = PickPort(i, true);
            if (!port) {
                port = PickPort(i, false);
                Check(port && NT_SUCCESS(pnp_->Open(port)), "handles: the port to fail could not be opened");
                if (!port) break;
            }
            b.open.erase(port);
            FailSerialPort(port->pdo);
            pnp_->InvalidateDeviceState(port);
            Check(port->state == NodeState::SurpriseRemoved,
                  "started: " + port->instancePath + " reported itself failed and is " + NodeStateName(port->state));
            const bool surprise = !b.open.empty() || random_() % 2;
            TakeOut(i, surprise);
            Check(NT_SUCCESS(pnp_->Close(port)), "handles: closing " + port->instancePath + " failed");
            b.want = Want::Out;
            return surprise ? "surprise removal" : "orderly removal";
        }
        }
        return std::string();
    }

    std::vector<DeviceNode *> PortNodes(size_t i) const
    {
        std::vector<DeviceNode *> ports;
        if (!Live(boards_[i].node)) return ports;
        for (DeviceNode *child : boards_[i].node->children)
            if (Live(child)) ports.push_back(child);
        return ports;
    }

    // What a plug drew: the board's number (new for its model), and the pool
    // it took besides what the images it loaded hold of their own. The first
    // board of a kind sets what that kind takes; every later one must take
    // the same, and its removal must give it all back.
    void TakeIdentity(size_t i, const PoolUse &took)
    {
        Board &b = boards_[i];
        b.number.clear();
        b.portPaths.clear();
        if (!Started(i)) return;
        const std::string kind = b.scenario.hardwareIds.front();
        auto known = poolOfKind_.find(kind);
        if (known == poolOfKind_.end()) known = poolOfKind_.emplace(kind, took).first;
        Check(took == known->second, "pool: the plug of board " + std::to_string(i) + " took what " +
                                         took.Against(known->second, "an earlier board of its kind took"));
        b.holds = known->second;
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

    void CheckInvariants(Op op, size_t stepped, const std::string &after)
    {
        // A reloaded mpsbus counts every model's boards from 1 again.
        if (!hk::DriverOf("mpsbus")) numbersDrawn_.clear();
        for (size_t i = 0; i < boards_.size(); ++i) CheckBoard(op, stepped, i, after);
        CheckHoldings();
        CheckVerifier();
    }

    void CheckVerifier(const std::string &when = std::string())
    {
        const std::vector<hk::Violation> violations = hk::Violations();
        Check(violations.empty(), violations.empty() ? "" : when + "verifier: " + violations.front().name + " (" +
                                                               violations.front().image + "): " +
                                                               violations.front().detail);
    }

    void CheckBoard(Op op, size_t stepped, size_t i, const std::string &after)
    {
        Board &b = boards_[i];
        const std::string name = "board " + std::to_string(i);
        const DeviceNode *node = b.node;
        if (b.want == Want::Out) {
            if (Present(i))
                Check(false, "relations: " + BoardName(i) + " should be gone after " + after + ", is " +
                                 NodeStateName(node->state));
            bool anyLive = false;
            if (node)
                for (DeviceNode *child : node->children) anyLive |= Live(child);
            Check(!anyLive, "relations: " + name + " is gone but a port node of it is still there");
            return;
        }
        const NodeState want = b.want == Want::Started ? NodeState::Started : NodeState::Stopped;
        if (!node || node->state != want) {
            Check(false, "started: " + BoardName(i) + " should be " + NodeStateName(want) + " after " + after +
                             ", is " + (node ? NodeStateName(node->state) : "not there") +
                             (node && !node->problem.empty() ? ": " + node->problem : std::string()) +
                             (node ? " (" + Hex(ULONG(node->status)) + ")" : std::string()));
            return;
        }
        const std::vector<DeviceNode *> ports = PortNodes(i);
        if (BoardExtension *board = BoardExtensionOf(node)) {
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
        if (b.want == Want::Stopped) return;

        // Every UART the board carries is a started port, from the first
        // enumeration on.
        Check(ports.size() == b.scenario.ports, "relations: started " + BoardName(i) + " has " +
                                                    std::to_string(ports.size()) + " port nodes, the board carries " +
                                                    std::to_string(b.scenario.ports) + " UARTs");
        CheckRelations(name, b, ports);
        // Asleep, the boards are in D3 and nobody uses a port.
        PDEVICE_OBJECT fdo = DeviceOf(node->pdo, "mpsbus");
        // D0 is what the drivers reported: the host records nothing by itself.
        if (!asleep_) {
            Check(fdo && hk::DevicePowerStateOf(fdo) == PowerDeviceD0,
                  "power: the mpsbus device of started " + BoardName(i) + " is not in D0 after " + after);
            for (DeviceNode *port : ports)
                Check(hk::DevicePowerStateOf(port->pdo) == PowerDeviceD0,
                      "power: started port " + port->instancePath + " is not in D0 after " + after);
        }

        // Names: a stop and a restart change neither the number nor the ports.
        if (op != Op::Plug || stepped != i) {
            const BoardDriverView view = ReadBoardDriverView(node->pdo);
            Check(view.number == b.number, "names: " + name + " has number " + view.number + ", had " + b.number);
            std::map<std::string, ULONG> paths;
            for (DeviceNode *port : ports) paths[port->instancePath] = PortNumberOf(port);
            Check(paths == b.portPaths, "names: the port device names of " + name + " changed");
        }

        // Placement: each started port at its own block of where the board is
        // now, and working there when used again after the step.
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
            if (asleep_) continue;
            const SerialPortRecord used = ExercisePort(port->pdo);
            // A board without the status register hands its ports none.
            const bool statusOk = used.statusRegister != CheckResult::Failed && record &&
                                  used.statusRegister == record->statusRegister;
            Check(used.loopback == CheckResult::Ok && statusOk,
                  "placement: " + port->instancePath + " used after " + after + ": loopback " +
                      CheckResultName(used.loopback) + ", status register " + CheckResultName(used.statusRegister) +
                      (used.checkDetail.empty() ? std::string() : ": " + used.checkDetail));
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

    // Device objects, mappings, registry handles and pool: what the loaded
    // images hold of their own and the present boards account for, nothing
    // more.
    void CheckHoldings()
    {
        size_t devices = 0;
        bool anyPresent = false;
        std::vector<uint64_t> mapped;  // physical addresses mpsbus should have mapped
        PoolUse pool = OwnOfLoaded();
        for (size_t i = 0; i < boards_.size(); ++i) {
            const Board &b = boards_[i];
            // A board removed but still in its slot keeps the PDO its bus
            // reports until it is pulled out.
            if (b.want == Want::Out) {
                devices += b.everPlugged && b.slot->Plugged() ? 1 : 0;
                continue;
            }
            anyPresent = true;
            devices += kBoardStackDevices + kPortStackDevices * b.scenario.ports;
            pool.Add(b.holds);
            // A stopped board gave its mappings back.
            const BoardResources &at = b.scenario.resources;
            if (b.want == Want::Started && at.inMemorySpace) {
                mapped.push_back(at.memoryWindow + at.uartBase);
                if (b.scenario.bus == BusKind::Pci) mapped.push_back(at.memoryWindow + at.bridgeBase);
            }
        }
        CheckDevices(devices, "the present boards account for");
        for (const char *image : kImages)
            Check((hk::DriverOf(image) != nullptr) == anyPresent,
                  std::string("images: ") + image + (anyPresent ? " is not loaded with boards present"
                                                                 : " is still loaded with no board present"));
        std::vector<uint64_t> live;
        std::string stranger;
        for (const hk::Mapping &m : hk::LiveMappings()) {
            if (m.owner == "mpsbus") live.push_back(m.physical);
            else if (stranger.empty()) stranger = m.owner + " holds a mapping of " + Hex(m.physical);
        }
        std::sort(mapped.begin(), mapped.end());
        std::sort(live.begin(), live.end());
        Check(stranger.empty(), "mappings: " + stranger + " after the step");
        Check(live == mapped, "mappings: mpsbus holds " + std::to_string(live.size()) + " (" + Addresses(live) +
                                  "), the started boards' ranges in memory space are " +
                                  std::to_string(mapped.size()) + " (" + Addresses(mapped) + ")");
        Check(hk::reg::OpenHandleCount() == 0,
              "registry: " + std::to_string(hk::reg::OpenHandleCount()) + " handles open between steps");
        const PoolUse now = PoolNow();
        Check(now == pool, "pool: " + now.Against(pool, "the loaded images and the present boards account for"));
    }

    void CheckDevices(size_t want, const std::string &what)
    {
        const std::vector<hk::LiveDevice> live = hk::LiveDevices();
        std::map<std::string, size_t> byOwner;
        std::string pending;
        for (const hk::LiveDevice &d : live) {
            ++byOwner[d.owner];
            if (d.deletePending && pending.empty())
                pending = "; a device of " + d.owner + " is deleted and still has " + std::to_string(d.references) +
                          " reference(s)";
        }
        std::string owners;
        for (const auto &[owner, count] : byOwner) owners += (owners.empty() ? "" : ", ") + owner + " " + std::to_string(count);
        Check(live.size() == want, "objects: " + std::to_string(live.size()) + " device objects live (" + owners + "), " +
                                       what + " " + std::to_string(want) + pending);
    }

    static std::string Addresses(const std::vector<uint64_t> &addresses)
    {
        std::string text;
        for (uint64_t a : addresses) text += (text.empty() ? "" : ", ") + Hex(a);
        return text.empty() ? "none" : text;
    }

    // After the machine's shutdown every board is gone and both images are
    // unloaded: nothing of theirs may be left.
    void CheckShutDown()
    {
        const std::string what = "shutdown";
        if (log_) *log_ << what << "\n";
        CheckDevices(0, "after the shutdown, not one; want");
        for (const char *image : kImages)
            Check(hk::DriverOf(image) == nullptr, std::string("images: ") + image + " is still loaded after the shutdown");
        Check(hk::LiveMappings().empty(),
              "mappings: " + std::to_string(hk::LiveMappings().size()) + " left after the shutdown");
        Check(hk::reg::OpenHandleCount() == 0,
              "registry: " + std::to_string(hk::reg::OpenHandleCount()) + " handles left open after the shutdown");
        // Unloading both images took back whatever pool they held: a leak
        // of the shutdown's removals shows as POOL_LEAK at their unload.
        CheckVerifier();
        if (!result_.passed) Report(what);
    }

    uint32_t seed_;
    bool moves_;
    std::mt19937 random_;
    std::ostream *log_;
    PnpManager *pnp_ = nullptr;
    std::vector<Board> boards_;
    bool asleep_ = false;
    std::map<std::string, std::set<std::string>> numbersDrawn_;  // by model
    PoolUse own_;                                                // each image alone, loaded
    std::map<std::string, PoolUse> poolOfKind_;                  // by hardware ID
    SequenceResult result_;
};

}  // namespace

SequenceResult RunSequence(uint32_t seed, size_t steps, bool moves, std::ostream *log)
{
    return Sequence(seed, moves, log).Run(steps);
}

}  // namespace sim
