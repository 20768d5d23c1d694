/*
 * The Plug and Play manager of the simulated machine. It builds a device
 * node for every PDO a bus reports and drives the node's stack through the
 * requests Windows sends, in Windows' order:
 *
 *   new node   capabilities, IDs (device, hardware, compatible, instance),
 *              texts (description, location), resource requirements, all
 *              from the PDO alone; then drivers are loaded (once per image)
 *              and AddDevice runs bottom-up (lower filters, function driver,
 *              upper filters); FILTER_RESOURCE_REQUIREMENTS down the whole
 *              stack; arbitration; START with raw and translated lists; bus
 *              relations, and the same for every new child.
 *   stop       QUERY_STOP to the subtree children first, then STOP (a node
 *              that consumes no resources gets CANCEL_STOP instead); a
 *              restart queries requirements again and starts parents first.
 *              A restart that fails surprise-removes the node.
 *   state      after a first start and after IoInvalidateDeviceState:
 *              QUERY_PNP_DEVICE_STATE; FAILED with RESOURCE_REQUIREMENTS_CHANGED
 *              stops and restarts the node (resources or not), FAILED or
 *              REMOVED otherwise surprise-removes it.
 *   removal    QUERY_REMOVE children first, then REMOVE children first; or
 *              SURPRISE_REMOVAL to the subtree, then REMOVE children first
 *              once the last handle open in the subtree is closed. A
 *              device that reports itself failed is surprise-removed alone
 *              and its removal waits for its own handles, after its
 *              parent's removal if need be. A veto is answered with
 *              CANCEL_STOP / CANCEL_REMOVE to every stack queried and
 *              reported as PNP_VetoDevice with the refusing device's path.
 *   handles    CREATE to the top of a started node's stack; CLEANUP, then
 *              CLOSE to the same device.
 *   power      sleep: QUERY_POWER, then per node, children first, system S3
 *              then device D3; wake: parents first, S0 then D0.
 *
 * It owns what drivers hand it (ID strings, texts, relations, requirement
 * lists) and frees it with ExFreePool; it keeps the one reference that
 * comes with each newly reported PDO for the node's lifetime and releases
 * the one that comes with a PDO it already knows. A driver image is
 * unloaded once the last device of its driver is gone.
 */
#pragma once

#include "install_db.h"
#include "pnp_types.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace sim {

// One request as the manager sent it, for traces and tests.
// One step as the manager took it, for traces and tests: a request sent to
// a stack ("IRP_MN_QUERY_ID"), or a driver call ("DriverEntry", "AddDevice",
// "DriverUnload") with the service in |detail|.
struct PnpRequestRecord {
    std::string instancePath;  // empty for a driver unload
    std::string request;
    std::string detail;        // query type, power state or service
    NTSTATUS status;
};

// Why an orderly removal or stop did not happen, as Windows reports it
// (PNP_VETO_TYPE, cfg.h): PNP_VetoDevice names the device whose stack
// refused the query.
enum PnpVetoType { PNP_VetoTypeUnknown = 0, PNP_VetoDevice = 6 };
struct PnpVeto {
    PnpVetoType type = PNP_VetoTypeUnknown;  // PNP_VetoTypeUnknown: no veto
    std::string device;                      // the refusing device's instance path
    std::string request;                     // the query it refused
    NTSTATUS status = STATUS_SUCCESS;        // what it answered
};

class PnpManager {
public:
    // One manager per machine, created after hk::ResetKernel(); it installs
    // itself as the kernel's device-property source.
    explicit PnpManager(InstallDatabase database = InstallDatabase::Default());
    ~PnpManager();
    PnpManager(const PnpManager &) = delete;
    PnpManager &operator=(const PnpManager &) = delete;

    // Called once a node's stack has answered a START, with the lists it
    // carried, before the manager acts on the answer (a node that fails its
    // first start loses its stack right after).
    using Descriptors = std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>;
    using StartObserver =
        std::function<void(const DeviceNode &node, const Descriptors &raw, const Descriptors &translated)>;
    void SetStartObserver(StartObserver observer) { startObserver_ = std::move(observer); }
    // Called before each request the manager sends to a stack (true) and
    // once it has come back (false): points at which a test can let other
    // users of the devices act.
    using RequestObserver = std::function<void(bool before)>;
    void SetRequestObserver(RequestObserver observer) { requestObserver_ = std::move(observer); }

    // Drivers that live in this executable (the serial port stand-in, test
    // drivers); every other service is loaded as an image.
    void RegisterBuiltinDriver(const std::string &service, PDRIVER_INITIALIZE entry);
    void SetImageDirectory(const std::string &directory);

    // The board's bus finds it: a new node, brought up as far as it goes.
    DeviceNode *PlugBoard(const BoardDescription &board);
    // The board left its slot: surprise removal of its subtree, then removal.
    void UnplugBoard(DeviceNode *board);

    // Query-remove then remove; false (after cancel-remove) when vetoed.
    bool Remove(DeviceNode *node);
    // Query-remove answered by cancel-remove, as when the user backs out.
    bool QueryRemoveThenCancel(DeviceNode *node);
    // Query-stop then stop; false (after cancel-stop) when vetoed.
    bool Stop(DeviceNode *node);
    bool QueryStopThenCancel(DeviceNode *node);
    // Starts again what Stop stopped, parents first, with requirements
    // queried anew; then enumerates. False when some restart failed.
    bool Restart(DeviceNode *node);
    // A rebalance: stop, optionally new ranges for a board, restart.
    bool Rebalance(DeviceNode *node, const BoardResources *newResources = nullptr);
    // Bus relations again for a started node.
    void Enumerate(DeviceNode *node);
    // The veto of the last Remove, Stop or query that was refused.
    const PnpVeto &LastVeto() const { return lastVeto_; }

    // Handles, as an application opens a device: CREATE to the top of a
    // started node's stack (the status it answered); Close sends CLEANUP and
    // CLOSE through the node's oldest handle (STATUS_INVALID_HANDLE without
    // one) and lets a removal that waited for it go on; DeviceControl sends
    // an IRP_MJ_DEVICE_CONTROL through it.
    NTSTATUS Open(DeviceNode *node);
    NTSTATUS Close(DeviceNode *node);
    NTSTATUS DeviceControl(DeviceNode *node);
    size_t HandlesIn(DeviceNode *root) const;  // open in the subtree
    // A driver of the node's stack called IoInvalidateDeviceState.
    void InvalidateDeviceState(DeviceNode *node);

    void Sleep();
    void Wake();

    // Removes every board still present and unloads the drivers it loaded.
    void ShutDown();

    std::vector<DeviceNode *> Boards() const;
    DeviceNode *NodeOf(PDEVICE_OBJECT pdo) const;
    const std::vector<PnpRequestRecord> &Requests() const { return requests_; }
    void ClearRequests() { requests_.clear(); }

private:
    DeviceNode *NewNode(PDEVICE_OBJECT pdo, DeviceNode *parent);
    void BringUp(DeviceNode *node);
    bool QueryIdentity(DeviceNode *node);  // false: the node failed already
    void QueryCapabilities(DeviceNode *node);
    void CheckNotDuplicate(const DeviceNode *node) const;
    void QueryBusInformation(DeviceNode *node);
    void QueryBootConfiguration(DeviceNode *node);
    void QueryRequirements(DeviceNode *node);
    bool QueryDeviceState(DeviceNode *node);  // false: the device took itself down
    // Query-stop then stop, children first; |evenWithoutResources| stops a
    // node that consumes none instead of cancelling its stop.
    bool StopSubtree(DeviceNode *node, bool evenWithoutResources);
    bool BindAndLoad(DeviceNode *node);
    bool LoadService(const std::string &service, DeviceNode *node);
    bool AddDevices(DeviceNode *node);
    bool StartNode(DeviceNode *node);  // filter, arbitrate, START; no teardown on failure
    void Fail(DeviceNode *node, NTSTATUS status, const std::string &problem);
    void TearDownStack(DeviceNode *node);

    void SurpriseRemoveSubtree(DeviceNode *node);
    // The removal that follows a surprise removal: |finish| runs once no
    // handle is open in |root|'s subtree, at once if none is.
    void RemoveOnceClosed(DeviceNode *root, std::function<void()> finish);
    void FinishClosedRemovals();
    void NoteVeto(const DeviceNode *node, UCHAR minor, NTSTATUS status);
    void RemoveSubtree(DeviceNode *node);
    void ForgetSubtree(DeviceNode *node);
    void UnloadUnusedDrivers();
    void ProcessInvalidations();

    void SetSystemPower(DeviceNode *node, SYSTEM_POWER_STATE state, POWER_ACTION action, const char *name);
    void Record(const DeviceNode *node, const std::string &request, const std::string &detail, NTSTATUS status);
    // Sends to the node's stack and records it.
    struct Sent {
        NTSTATUS status;
        ULONG_PTR information;
    };
    Sent Send(DeviceNode *node, UCHAR major, UCHAR minor, const std::string &detail,
              const std::function<void(PIO_STACK_LOCATION)> &fill = nullptr, ULONG_PTR information = 0);
    std::string QueryIdString(DeviceNode *node, BUS_QUERY_ID_TYPE type, bool *answered);
    std::vector<std::string> QueryIdList(DeviceNode *node, BUS_QUERY_ID_TYPE type);
    std::string QueryText(DeviceNode *node, DEVICE_TEXT_TYPE type, bool *answered);

    NTSTATUS GetProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property, ULONG length, PVOID buffer,
                         PULONG resultLength) const;

    std::vector<const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> *> ResourcesHeldBesides(
        const DeviceNode *node) const;

    InstallDatabase database_;
    std::string imageDirectory_;
    std::map<std::string, PDRIVER_INITIALIZE> builtinDrivers_;
    std::vector<std::string> loadedServices_;  // in load order
    std::vector<std::unique_ptr<DeviceNode>> nodes_;
    // The node of each PDO the manager holds: every request and property
    // read looks its node up, so a machine of many boards must not search.
    std::unordered_map<PDEVICE_OBJECT, DeviceNode *> nodeOfPdo_;
    // Nodes that were ever started with resources, in that order: the only
    // ones arbitration has to look at.
    std::vector<DeviceNode *> resourceHolders_;
    std::unordered_set<const DeviceNode *> isResourceHolder_;
    std::vector<PnpRequestRecord> requests_;
    StartObserver startObserver_;
    RequestObserver requestObserver_;
    // IoInvalidateDeviceRelations and IoInvalidateDeviceState, not yet acted on.
    struct Invalidation {
        PDEVICE_OBJECT pdo;
        bool state;  // the device's PnP state, else its bus relations
    };
    std::mutex invalidatedLock_;
    std::vector<Invalidation> invalidated_;
    bool processingInvalidations_ = false;
    struct PendingRemoval {
        DeviceNode *root;
        std::function<void()> finish;
    };
    std::vector<PendingRemoval> pendingRemovals_;
    PnpVeto lastVeto_;
};

// Nodes of a subtree, children before their parent / parents first.
std::vector<DeviceNode *> ChildrenFirst(DeviceNode *root);
std::vector<DeviceNode *> ParentsFirst(DeviceNode *root);

}  // namespace sim
