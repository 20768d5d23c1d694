/*
 * The later life of device nodes: stop and restart, removal, surprise
 * removal, unloading drivers whose devices are gone.
 */
#include "pnp_manager.h"

#include "builtin_bus.h"
#include "lower_completion.h"
#include "lower_filter.h"
#include "pnp_request.h"

#include <algorithm>

namespace sim {

const char *BusKindName(BusKind bus)
{
    switch (bus) {
    case BusKind::Pci: return "pci";
    case BusKind::Pcmcia: return "pcmcia";
    case BusKind::Root: return "isa";
    }
    return "";
}

const char *NodeStateName(NodeState state)
{
    switch (state) {
    case NodeState::Started: return "started";
    case NodeState::Stopped: return "stopped";
    case NodeState::SurpriseRemoved: return "surprise removed";
    case NodeState::Removed: return "removed";
    case NodeState::Initialized:
    case NodeState::Failed: return "failed";
    }
    return "failed";
}

std::vector<std::string> DeviceNode::Services() const
{
    std::vector<std::string> services = lowerFilters;
    if (!functionService.empty()) services.push_back(functionService);
    services.insert(services.end(), upperFilters.begin(), upperFilters.end());
    return services;
}

namespace {

void CollectChildrenFirst(DeviceNode *node, std::vector<DeviceNode *> *out)
{
    for (DeviceNode *child : node->children) CollectChildrenFirst(child, out);
    out->push_back(node);
}

void CollectParentsFirst(DeviceNode *node, std::vector<DeviceNode *> *out)
{
    out->push_back(node);
    for (DeviceNode *child : node->children) CollectParentsFirst(child, out);
}

bool Live(const DeviceNode *node)
{
    return node->pdo && node->state != NodeState::Removed;
}

}  // namespace

std::vector<DeviceNode *> ChildrenFirst(DeviceNode *root)
{
    std::vector<DeviceNode *> out;
    CollectChildrenFirst(root, &out);
    return out;
}

std::vector<DeviceNode *> ParentsFirst(DeviceNode *root)
{
    std::vector<DeviceNode *> out;
    CollectParentsFirst(root, &out);
    return out;
}

// ------------------------------------------------------------ the manager
PnpManager::PnpManager(InstallDatabase database) : database_(std::move(database)), imageDirectory_(MPS_IMAGE_DIR)
{
    ResetBuiltinBuses();
    SetCompletionSeed(CompletionSeed());  // every machine makes the same choices for one seed
    RegisterBuiltinDriver(kLowerFilterService, LowerFilterDriverEntry);
    hk::SetImageDirectory(imageDirectory_);
    hk::PnpHooks hooks;
    hooks.getProperty = [this](PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property, ULONG length, PVOID buffer,
                               PULONG resultLength) {
        return GetProperty(pdo, property, length, buffer, resultLength);
    };
    hooks.instancePath = [this](PDEVICE_OBJECT pdo) {
        const DeviceNode *node = NodeOf(pdo);
        return node ? node->instancePath : std::string();
    };
    // A PDO is a device object the manager has a node for: one a bus driver
    // reported, not yet gone.
    hooks.isPdo = [this](PDEVICE_OBJECT device) { return NodeOf(device) != nullptr; };
    hooks.invalidateRelations = [this](PDEVICE_OBJECT pdo, DEVICE_RELATION_TYPE type) {
        if (type != BusRelations) return;
        std::lock_guard<std::mutex> hold(invalidatedLock_);
        invalidated_.push_back(Invalidation{pdo, false});
    };
    hooks.invalidateState = [this](PDEVICE_OBJECT pdo) {
        std::lock_guard<std::mutex> hold(invalidatedLock_);
        invalidated_.push_back(Invalidation{pdo, true});
    };
    hooks.awaitingRemoval = [this](PDEVICE_OBJECT pdo) {
        const DeviceNode *node = NodeOf(pdo);
        return node != nullptr && !node->removeSent;
    };
    hooks.reportedMissing = [this](PDEVICE_OBJECT pdo) {
        const DeviceNode *node = NodeOf(pdo);
        return node != nullptr && (node->leftOut || (node->parent && node->parent->removeSent));
    };
    hk::SetPnpHooks(hooks);
}

PnpManager::~PnpManager()
{
    JoinLowerCompletions();
    hk::SetPnpHooks(hk::PnpHooks{});
}

void PnpManager::RegisterBuiltinDriver(const std::string &service, PDRIVER_INITIALIZE entry)
{
    builtinDrivers_[service] = entry;
}

void PnpManager::SetImageDirectory(const std::string &directory)
{
    imageDirectory_ = directory;
    hk::SetImageDirectory(directory);
}

DeviceNode *PnpManager::NewNode(PDEVICE_OBJECT pdo, DeviceNode *parent)
{
    nodes_.push_back(std::make_unique<DeviceNode>());
    DeviceNode *node = nodes_.back().get();
    node->pdo = pdo;
    node->parent = parent;
    if (pdo) nodeOfPdo_[pdo] = node;
    if (parent) {
        node->level = parent->level + 1;
        parent->children.push_back(node);
    }
    return node;
}

// Bus relations and device states invalidated by drivers while the manager
// was busy are queried once it is done, as Windows' worker would.
void PnpManager::ProcessInvalidations()
{
    if (processingInvalidations_) return;
    processingInvalidations_ = true;
    for (;;) {
        Invalidation next{};
        {
            std::lock_guard<std::mutex> hold(invalidatedLock_);
            if (invalidated_.empty()) break;
            next = invalidated_.front();
            invalidated_.erase(invalidated_.begin());
        }
        DeviceNode *node = NodeOf(next.pdo);
        if (!node) continue;
        if (!next.state)
            Enumerate(node);
        else if (node->state == NodeState::Started)
            QueryDeviceState(node);
    }
    processingInvalidations_ = false;
}

DeviceNode *PnpManager::NodeOf(PDEVICE_OBJECT pdo) const
{
    if (!pdo) return nullptr;
    hk::CountWork(hk::Work::NodeSearch);
    auto found = nodeOfPdo_.find(pdo);
    return found == nodeOfPdo_.end() ? nullptr : found->second;
}

std::vector<DeviceNode *> PnpManager::Boards() const
{
    std::vector<DeviceNode *> boards;
    for (const auto &node : nodes_)
        if (!node->parent) boards.push_back(node.get());
    return boards;
}

void PnpManager::Record(const DeviceNode *node, const std::string &request, const std::string &detail,
                        NTSTATUS status)
{
    requests_.push_back(PnpRequestRecord{node ? node->instancePath : std::string(), request, detail, status});
}

PnpManager::Sent PnpManager::Send(DeviceNode *node, UCHAR major, UCHAR minor, const std::string &detail,
                                  const std::function<void(PIO_STACK_LOCATION)> &fill, ULONG_PTR information)
{
    if (requestObserver_) requestObserver_(true);
    const IrpOutcome outcome = SendToStack(node->pdo, major, minor, fill, information);
    if (requestObserver_) requestObserver_(false);
    Record(node, major == IRP_MJ_POWER ? PowerMinorName(minor) : PnpMinorName(minor), detail, outcome.status);
    return Sent{outcome.status, outcome.information};
}

std::vector<const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> *> PnpManager::ResourcesHeldBesides(
    const DeviceNode *node) const
{
    std::vector<const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> *> held;
    for (const DeviceNode *other : resourceHolders_)
        if (other != node && other->state == NodeState::Started) held.push_back(&other->raw);
    return held;
}

// ----------------------------------------------------------------- boards
DeviceNode *PnpManager::PlugBoard(const BoardDescription &board)
{
    PDEVICE_OBJECT pdo = CreateBoardPdo(board);  // comes with the reference the node keeps
    if (!pdo) return nullptr;
    DeviceNode *node = NewNode(pdo, nullptr);
    BringUp(node);
    ProcessInvalidations();
    return node;
}

void PnpManager::UnplugBoard(DeviceNode *board)
{
    if (!board->pdo || board->state == NodeState::SurpriseRemoved) return;
    MarkBoardMissing(board->pdo);
    if (board->state != NodeState::Removed) SurpriseRemoveSubtree(board);
    RemoveOnceClosed(board, [this, board] {
        RemoveSubtree(board);
        ForgetSubtree(board);
        UnloadUnusedDrivers();
    });
}

// ---------------------------------------------------------------- removal
// Every device of the subtree hears that it is gone ("Handling an
// IRP_MN_SURPRISE_REMOVAL Request": the PnP manager sends it to the whole
// subtree when a device is pulled, ejected or fails a restart).
void PnpManager::SurpriseRemoveSubtree(DeviceNode *root)
{
    for (DeviceNode *node : ChildrenFirst(root)) {
        if (!Live(node) || (node->state != NodeState::Started && node->state != NodeState::Stopped)) continue;
        Send(node, IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL, "");
        node->state = NodeState::SurpriseRemoved;
    }
}

// The subtree's IRP_MN_REMOVE_DEVICE requests, children first, come once the
// last handle open in it has closed ("Handling an IRP_MN_SURPRISE_REMOVAL
// Request": the PnP manager sends the remove after "all open handles to the
// device are closed"; "Removing a Device in a Bus Driver").
void PnpManager::RemoveOnceClosed(DeviceNode *root, std::function<void()> finish)
{
    if (HandlesIn(root) == 0) {
        finish();
        return;
    }
    pendingRemovals_.push_back(PendingRemoval{root, std::move(finish)});
}

void PnpManager::FinishClosedRemovals()
{
    for (size_t i = 0; i < pendingRemovals_.size();) {
        PendingRemoval &pending = pendingRemovals_[i];
        // A removal that a wider one (its parent pulled out meanwhile) has
        // already taken care of.
        if (pending.root->removeSent || !pending.root->pdo) {
            pendingRemovals_.erase(pendingRemovals_.begin() + i);
            continue;
        }
        if (HandlesIn(pending.root) != 0) {
            ++i;
            continue;
        }
        std::function<void()> finish = std::move(pending.finish);
        pendingRemovals_.erase(pendingRemovals_.begin() + i);
        finish();
        i = 0;  // the list may have changed under it
    }
}

size_t PnpManager::HandlesIn(DeviceNode *root) const
{
    size_t open = 0;
    for (DeviceNode *node : ChildrenFirst(root)) open += node->handles.size();
    return open;
}

void PnpManager::RemoveSubtree(DeviceNode *root)
{
    for (DeviceNode *node : ChildrenFirst(root)) {
        if (!node->pdo) continue;
        // A child surprise-removed on its own that is still open keeps its
        // stack past its parent's removal: its own removal comes once it is
        // closed (the toaster bus sample keeps such a child at its FDO's
        // removal for that reason).
        if (node != root && node->state == NodeState::SurpriseRemoved && HandlesIn(node) != 0) continue;
        // A removed node that is still present has only its PDO left; it
        // hears the removal again once the device is really gone.
        const bool stackLeft = node->state != NodeState::Removed || !BoardPresent(node->pdo);
        node->removeSent = true;
        if (stackLeft) Send(node, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, "");
        FinishBoardRemoval(node->pdo);
        node->state = NodeState::Removed;
        node->raw.clear();
        node->translated.clear();
    }
}

// The bus driver has deleted the PDOs of a removed subtree (the root's too,
// unless it is a board still in its slot): the manager's references go. A
// child that still waits for its own removal keeps its node.
void PnpManager::ForgetSubtree(DeviceNode *root)
{
    for (DeviceNode *node : ChildrenFirst(root)) {
        if (!node->pdo || node->state == NodeState::SurpriseRemoved) continue;
        if (node == root && BoardPresent(node->pdo)) continue;
        ObDereferenceObject(node->pdo);
        nodeOfPdo_.erase(node->pdo);
        node->pdo = nullptr;
        if (node->state != NodeState::Failed) node->state = NodeState::Removed;
    }
}

// A refused query: Windows cancels it on every stack it queried and reports
// PNP_VetoDevice with the refusing device's instance path (PNP_VETO_TYPE;
// IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_QUERY_STOP_DEVICE). Nothing changes.
void PnpManager::NoteVeto(const DeviceNode *node, UCHAR minor, NTSTATUS status)
{
    lastVeto_ = PnpVeto{PNP_VetoDevice, node->instancePath, PnpMinorName(minor), status};
}

bool PnpManager::Remove(DeviceNode *node)
{
    lastVeto_ = PnpVeto();
    if (!Live(node) || node->state == NodeState::SurpriseRemoved) return false;
    std::vector<DeviceNode *> queried;
    for (DeviceNode *n : ChildrenFirst(node)) {
        if (!Live(n) || n->state == NodeState::SurpriseRemoved) continue;
        queried.push_back(n);
        const NTSTATUS status = Send(n, IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE, "").status;
        if (!NT_SUCCESS(status)) {
            NoteVeto(n, IRP_MN_QUERY_REMOVE_DEVICE, status);
            for (DeviceNode *q : queried) Send(q, IRP_MJ_PNP, IRP_MN_CANCEL_REMOVE_DEVICE, "");
            return false;
        }
    }
    RemoveSubtree(node);
    // The children's PDOs went with their parent's removal.
    for (DeviceNode *child : node->children) ForgetSubtree(child);
    if (node->parent == nullptr && !BoardPresent(node->pdo)) ForgetSubtree(node);
    UnloadUnusedDrivers();
    return true;
}

bool PnpManager::QueryRemoveThenCancel(DeviceNode *node)
{
    lastVeto_ = PnpVeto();
    bool agreed = true;
    std::vector<DeviceNode *> queried;
    for (DeviceNode *n : ChildrenFirst(node)) {
        if (!Live(n) || n->state == NodeState::SurpriseRemoved) continue;
        queried.push_back(n);
        const NTSTATUS status = Send(n, IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE, "").status;
        agreed = NT_SUCCESS(status);
        if (!agreed) {
            NoteVeto(n, IRP_MN_QUERY_REMOVE_DEVICE, status);
            break;
        }
    }
    for (DeviceNode *q : queried) Send(q, IRP_MJ_PNP, IRP_MN_CANCEL_REMOVE_DEVICE, "");
    return agreed;
}

// ---------------------------------------------------------------- handles
NTSTATUS PnpManager::Open(DeviceNode *node)
{
    if (!node->pdo || node->state == NodeState::Removed) return STATUS_NO_SUCH_DEVICE;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(node->pdo);
    const NTSTATUS status = hk::SendIrpSync(top, IRP_MJ_CREATE, 0, nullptr, nullptr, STATUS_SUCCESS);
    Record(node, "IRP_MJ_CREATE", "", status);
    if (NT_SUCCESS(status))
        node->handles.push_back(top);  // the handle keeps the reference
    else
        ObDereferenceObject(top);
    return status;
}

NTSTATUS PnpManager::Close(DeviceNode *node)
{
    if (node->handles.empty()) return STATUS_INVALID_HANDLE;
    PDEVICE_OBJECT device = node->handles.front();
    Record(node, "IRP_MJ_CLEANUP", "", hk::SendIrpSync(device, IRP_MJ_CLEANUP, 0, nullptr, nullptr, STATUS_SUCCESS));
    const NTSTATUS status = hk::SendIrpSync(device, IRP_MJ_CLOSE, 0, nullptr, nullptr, STATUS_SUCCESS);
    Record(node, "IRP_MJ_CLOSE", "", status);
    node->handles.erase(node->handles.begin());
    ObDereferenceObject(device);
    FinishClosedRemovals();
    return status;
}

NTSTATUS PnpManager::DeviceControl(DeviceNode *node)
{
    if (node->handles.empty()) return STATUS_INVALID_HANDLE;
    const NTSTATUS status =
        hk::SendIrpSync(node->handles.front(), IRP_MJ_DEVICE_CONTROL, 0, nullptr, nullptr, STATUS_SUCCESS);
    Record(node, "IRP_MJ_DEVICE_CONTROL", "", status);
    return status;
}

void PnpManager::InvalidateDeviceState(DeviceNode *node)
{
    if (!node->pdo) return;
    IoInvalidateDeviceState(node->pdo);
    ProcessInvalidations();
}

// ------------------------------------------------------------ stop, start
bool PnpManager::Stop(DeviceNode *node) { return StopSubtree(node, false); }

bool PnpManager::StopSubtree(DeviceNode *node, bool evenWithoutResources)
{
    std::vector<DeviceNode *> started;
    for (DeviceNode *n : ChildrenFirst(node))
        if (Live(n) && n->state == NodeState::Started) started.push_back(n);
    lastVeto_ = PnpVeto();
    std::vector<DeviceNode *> queried;
    for (DeviceNode *n : started) {
        queried.push_back(n);
        const NTSTATUS status = Send(n, IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE, "").status;
        if (!NT_SUCCESS(status)) {
            NoteVeto(n, IRP_MN_QUERY_STOP_DEVICE, status);
            for (DeviceNode *q : queried) Send(q, IRP_MJ_PNP, IRP_MN_CANCEL_STOP_DEVICE, "");
            return false;
        }
    }
    // A node without resources has nothing to give back: it stays started.
    for (DeviceNode *n : started) {
        if (n->consumesResources || evenWithoutResources) {
            Send(n, IRP_MJ_PNP, IRP_MN_STOP_DEVICE, "");
            n->state = NodeState::Stopped;
        } else {
            Send(n, IRP_MJ_PNP, IRP_MN_CANCEL_STOP_DEVICE, "");
        }
    }
    return true;
}

bool PnpManager::QueryStopThenCancel(DeviceNode *node)
{
    lastVeto_ = PnpVeto();
    bool agreed = true;
    std::vector<DeviceNode *> queried;
    for (DeviceNode *n : ChildrenFirst(node)) {
        if (!Live(n) || n->state != NodeState::Started) continue;
        queried.push_back(n);
        const NTSTATUS status = Send(n, IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE, "").status;
        agreed = NT_SUCCESS(status);
        if (!agreed) {
            NoteVeto(n, IRP_MN_QUERY_STOP_DEVICE, status);
            break;
        }
    }
    for (DeviceNode *q : queried) Send(q, IRP_MJ_PNP, IRP_MN_CANCEL_STOP_DEVICE, "");
    return agreed;
}

bool PnpManager::Restart(DeviceNode *node)
{
    bool allStarted = true;
    std::vector<DeviceNode *> restarted;
    for (DeviceNode *n : ParentsFirst(node)) {
        if (!Live(n) || n->state != NodeState::Stopped) continue;
        QueryRequirements(n);
        if (StartNode(n)) {
            restarted.push_back(n);
            continue;
        }
        // A device that cannot start again is treated as gone.
        allStarted = false;
        const NTSTATUS status = n->status;
        const std::string problem = n->problem.empty() ? "restart failed" : n->problem;
        n->state = NodeState::Stopped;  // so that it hears the surprise removal
        SurpriseRemoveSubtree(n);
        RemoveOnceClosed(n, [this, n, status, problem] {
            RemoveSubtree(n);
            for (DeviceNode *child : n->children) ForgetSubtree(child);
            Fail(n, status, problem);
            if (!n->parent && !BoardPresent(n->pdo)) ForgetSubtree(n);
            UnloadUnusedDrivers();
        });
    }
    for (DeviceNode *n : restarted) Enumerate(n);
    UnloadUnusedDrivers();
    ProcessInvalidations();
    return allStarted;
}

bool PnpManager::Rebalance(DeviceNode *node, const BoardResources *newResources)
{
    if (!Stop(node)) return false;
    if (newResources && node->pdo) SetBoardResources(node->pdo, *newResources);
    return Restart(node);
}

// --------------------------------------------------------------- drivers
void PnpManager::UnloadUnusedDrivers()
{
    for (auto it = loadedServices_.begin(); it != loadedServices_.end();) {
        const std::string service = *it;
        PDRIVER_OBJECT driver = hk::DriverOf(service);
        if (driver && driver->DeviceObject) {
            ++it;
            continue;
        }
        it = loadedServices_.erase(it);
        if (!driver) continue;
        Record(nullptr, "DriverUnload", service, STATUS_SUCCESS);
        // A lower driver's completion thread may still be on its way out of
        // this driver's completion routine after the event it set let the
        // removal go on: the image is not unmapped under it.
        JoinLowerCompletions();
        if (builtinDrivers_.count(service))
            hk::UnloadBuiltinDriver(service);
        else
            hk::UnloadDriver(service);
    }
}

void PnpManager::ShutDown()
{
    // The applications go first, closing what they hold open.
    for (const auto &node : nodes_)
        while (!node->handles.empty()) Close(node.get());
    for (DeviceNode *board : Boards()) {
        if (!board->pdo) continue;
        if (Live(board) && !Remove(board)) {
            UnplugBoard(board);  // a veto does not keep a machine running
            continue;
        }
        if (!board->pdo) continue;
        MarkBoardMissing(board->pdo);
        RemoveSubtree(board);
        ForgetSubtree(board);
    }
    UnloadUnusedDrivers();
}

}  // namespace sim
