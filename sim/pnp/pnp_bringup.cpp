/*
 * A new device node, from the first query to its PDO until its children
 * are enumerated.
 */
#include "builtin_bus.h"
#include "pnp_ids.h"
#include "pnp_manager.h"
#include "pnp_registry.h"
#include "pnp_request.h"
#include "pnp_resources.h"

#include <algorithm>
#include <sstream>

#include <sys/stat.h>

namespace sim {

namespace {

// Not in the host headers: what arbitration answers for a range in use, and
// the problem of a device whose hardware is disabled.
const NTSTATUS kStatusConflictingAddresses = NTSTATUS(0xC0000018L);
const NTSTATUS kStatusPlugPlayNoDevice = NTSTATUS(0xC000025EL);

bool FileExists(const std::string &path)
{
    struct stat info;
    return stat(path.c_str(), &info) == 0;
}

const char *IdTypeName(BUS_QUERY_ID_TYPE type)
{
    switch (type) {
    case BusQueryDeviceID: return "BusQueryDeviceID";
    case BusQueryHardwareIDs: return "BusQueryHardwareIDs";
    case BusQueryCompatibleIDs: return "BusQueryCompatibleIDs";
    case BusQueryInstanceID: return "BusQueryInstanceID";
    default: return "BusQueryOther";
    }
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    ObDereferenceObject(top);
    return top;
}

// The device an AddDevice attached must be ready for the next driver's
// AddDevice once it returns: Driver Verifier's I/O verification reports one
// left DO_DEVICE_INITIALIZING, 0xC9/0x243 (MSD debugger/bug-check-0xc9--
// driver-verifier-iomanager-violation.md), and without the verifier the next
// driver cannot attach above it.
void CheckAddedDeviceReady(const std::string &service, PDRIVER_OBJECT driver, PDEVICE_OBJECT topBefore,
                           PDEVICE_OBJECT pdo)
{
    PDEVICE_OBJECT top = TopOfStack(pdo);
    if (top == topBefore || top->DriverObject != driver || !(top->Flags & DO_DEVICE_INITIALIZING)) return;
    std::ostringstream detail;
    detail << "0xC9/0x243: AddDevice returned success with its device " << top
           << " still DO_DEVICE_INITIALIZING";
    hk::ReportViolation("DEVICE_STILL_INITIALIZING", service, detail.str());
}

// A filter's device takes on what the device below it shows the drivers
// above; the manager knows which services of the node are filters.
void CheckAddedFilter(const DeviceNode &node, const std::string &service, PDRIVER_OBJECT driver,
                      PDEVICE_OBJECT topBefore)
{
    auto listed = [&service](const std::vector<std::string> &filters) {
        return std::find(filters.begin(), filters.end(), service) != filters.end();
    };
    if (!listed(node.lowerFilters) && !listed(node.upperFilters)) return;
    PDEVICE_OBJECT top = TopOfStack(node.pdo);
    if (top != topBefore && top->DriverObject == driver) hk::CheckFilterAdded(service, top);
}

}  // namespace

// ------------------------------------------------------------- identity
std::string PnpManager::QueryIdString(DeviceNode *node, BUS_QUERY_ID_TYPE type, bool *answered)
{
    const Sent sent = Send(node, IRP_MJ_PNP, IRP_MN_QUERY_ID, IdTypeName(type),
                           [type](PIO_STACK_LOCATION s) { s->Parameters.QueryId.IdType = type; });
    *answered = NT_SUCCESS(sent.status) && sent.information;
    if (!*answered) return std::string();
    auto *text = reinterpret_cast<PWSTR>(sent.information);
    ValidateIdAnswer(node->pdo, text, type);
    std::string id = hk::Narrow(text);
    ExFreePool(text);
    return id;
}

std::vector<std::string> PnpManager::QueryIdList(DeviceNode *node, BUS_QUERY_ID_TYPE type)
{
    const Sent sent = Send(node, IRP_MJ_PNP, IRP_MN_QUERY_ID, IdTypeName(type),
                           [type](PIO_STACK_LOCATION s) { s->Parameters.QueryId.IdType = type; });
    if (!NT_SUCCESS(sent.status) || !sent.information) return {};
    auto *multi = reinterpret_cast<PWSTR>(sent.information);
    ValidateIdAnswer(node->pdo, multi, type);
    std::vector<std::string> ids = hk::NarrowMulti(multi);
    ExFreePool(multi);
    return ids;
}

std::string PnpManager::QueryText(DeviceNode *node, DEVICE_TEXT_TYPE type, bool *answered)
{
    const Sent sent = Send(node, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_TEXT,
                           type == DeviceTextDescription ? "DeviceTextDescription" : "DeviceTextLocationInformation",
                           [type](PIO_STACK_LOCATION s) {
                               s->Parameters.QueryDeviceText.DeviceTextType = type;
                               s->Parameters.QueryDeviceText.LocaleId = 0x409;
                           });
    *answered = NT_SUCCESS(sent.status) && sent.information;
    if (!*answered) return std::string();
    auto *text = reinterpret_cast<PWSTR>(sent.information);
    std::string result = hk::Narrow(text);
    ExFreePool(text);
    return result;
}

void PnpManager::QueryRequirements(DeviceNode *node)
{
    // A bus driver that does not answer asks for nothing.
    const Sent sent = Send(node, IRP_MJ_PNP, IRP_MN_QUERY_RESOURCE_REQUIREMENTS, "");
    node->requirements.clear();
    if (!NT_SUCCESS(sent.status)) return;
    auto *list = reinterpret_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(sent.information);
    node->requirements = RequirementsBytes(list);
    if (list) ExFreePool(list);
}

void PnpManager::QueryCapabilities(DeviceNode *node)
{
    // The PnP manager presets what the drivers may leave alone.
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof(caps);
    caps.Version = 1;
    caps.Address = 0xFFFFFFFF;
    caps.UINumber = 0xFFFFFFFF;
    Send(node, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, "",
         [&caps](PIO_STACK_LOCATION s) { s->Parameters.DeviceCapabilities.Capabilities = &caps; });
    node->capabilities = caps;
}

// Two children of one parent with the same device and instance IDs: bug
// check 0xCA/0x1 with the new PDO and the one it duplicates (MSD
// debugger/bug-check-0xca--pnp-detected-fatal-error.md; ReactOS
// devaction.c PiInitializeDevNode checks right after the instance path).
void PnpManager::CheckNotDuplicate(const DeviceNode *node) const
{
    if (!node->parent) return;
    for (const DeviceNode *sibling : node->parent->children) {
        hk::CountWork(hk::Work::NodeSearch);
        if (sibling == node || !sibling->pdo || sibling->state == NodeState::Removed) continue;
        if (sibling->instancePath != node->instancePath) continue;
        hk::BugCheckEx(0xCA, 0x1, reinterpret_cast<ULONG_PTR>(node->pdo), reinterpret_cast<ULONG_PTR>(sibling->pdo), 0,
                       "PNP_DETECTED_FATAL_ERROR: the bus driver of " + node->parent->instancePath +
                           " enumerated two children named " + node->instancePath);
    }
}

bool PnpManager::QueryIdentity(DeviceNode *node)
{
    // Windows' order (ReactOS devaction.c IopCreateDeviceInstancePath and
    // PiInitializeDevNode): the device ID, the capabilities (UniqueID decides
    // the instance path), the instance ID; then the rest of the identity.
    const size_t firstRecord = requests_.size();
    bool answered = false;
    node->deviceId = QueryIdString(node, BusQueryDeviceID, &answered);
    QueryCapabilities(node);
    node->instanceId = QueryIdString(node, BusQueryInstanceID, &answered);
    // A child whose instance ID is unique only among its siblings is named
    // after its parent too (ReactOS IopGetParentIdPrefix); a board's parent,
    // its bus, is not modelled, and the bus's instance IDs stand as they are.
    const std::string prefix = node->parent && !node->capabilities.UniqueID
                                   ? ParentIdPrefix(node->parent->instancePath, node->parent->level)
                                   : std::string();
    node->instancePath = InstancePathOf(node->deviceId, prefix, node->instanceId);
    node->enumerator = node->deviceId.substr(0, node->deviceId.find('\\'));
    // The requests that found the name are the node's too.
    for (size_t i = firstRecord; i < requests_.size(); ++i) requests_[i].instancePath = node->instancePath;
    CheckNotDuplicate(node);
    if (node->capabilities.HardwareDisabled) {
        Fail(node, kStatusPlugPlayNoDevice, "hardware disabled");
        return false;
    }

    node->hardwareIds = QueryIdList(node, BusQueryHardwareIDs);
    node->compatibleIds = QueryIdList(node, BusQueryCompatibleIDs);
    node->description = QueryText(node, DeviceTextDescription, &node->hasDescription);
    node->location = QueryText(node, DeviceTextLocationInformation, &node->hasLocation);
    QueryBusInformation(node);
    QueryBootConfiguration(node);
    QueryRequirements(node);

    if (const BoardDescription *board = BoardOfPdo(node->pdo)) {
        for (const auto &value : board->deviceParameters)
            hk::reg::SetValue(hk::DeviceParametersPath(node->instancePath), value.first, value.second.type,
                              value.second.data.data(), value.second.data.size());
    }
    return true;
}

// The bus the device sits on, as its bus driver reports it: the source of
// the legacy bus type and bus number properties. A device whose bus driver
// does not answer has neither (ReactOS devaction.c: ChildInterfaceType
// stays InterfaceTypeUndefined).
void PnpManager::QueryBusInformation(DeviceNode *node)
{
    const Sent sent = Send(node, IRP_MJ_PNP, IRP_MN_QUERY_BUS_INFORMATION, "");
    node->hasLegacyBusType = false;
    node->legacyBusType = InterfaceTypeUndefined;
    auto *information = reinterpret_cast<PPNP_BUS_INFORMATION>(sent.information);
    if (!NT_SUCCESS(sent.status) || !information) return;
    node->hasLegacyBusType = information->LegacyBusType != InterfaceTypeUndefined;
    node->legacyBusType = information->LegacyBusType;
    node->busNumber = information->BusNumber;
    ExFreePool(information);
}

// The resources the device decodes as firmware left it. Nothing here uses
// them beyond the request itself; the list is the manager's to free.
void PnpManager::QueryBootConfiguration(DeviceNode *node)
{
    const Sent sent = Send(node, IRP_MJ_PNP, IRP_MN_QUERY_RESOURCES, "");
    if (NT_SUCCESS(sent.status) && sent.information) ExFreePool(reinterpret_cast<PVOID>(sent.information));
}

// ------------------------------------------------------------- drivers
bool PnpManager::BindAndLoad(DeviceNode *node)
{
    const DriverBinding *binding = database_.Find(node->hardwareIds, node->compatibleIds);
    if (!binding) {
        Fail(node, STATUS_NO_SUCH_DEVICE, "no driver installed");
        return false;
    }
    node->lowerFilters = binding->lowerFilters;
    node->functionService = binding->functionService;
    node->upperFilters = binding->upperFilters;
    WriteDriverValues(*node);
    for (const std::string &service : node->Services())
        if (!LoadService(service, node)) return false;
    return true;
}

bool PnpManager::LoadService(const std::string &service, DeviceNode *node)
{
    if (hk::DriverOf(service)) return true;  // one image, loaded once
    WriteServiceKey(service, builtinDrivers_.count(service) == 0);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver = nullptr;
    auto builtin = builtinDrivers_.find(service);
    if (builtin != builtinDrivers_.end()) {
        driver = hk::LoadBuiltinDriver(service, builtin->second, &status);
    } else {
        if (!FileExists(imageDirectory_ + "/" + service + ".so")) {
            Record(node, "DriverEntry", service, STATUS_OBJECT_NAME_NOT_FOUND);
            Fail(node, STATUS_OBJECT_NAME_NOT_FOUND, "no driver image: " + service);
            return false;
        }
        const hk::LoadedDriver loaded = hk::LoadDriver(service);
        driver = loaded.driver;
        status = loaded.entryStatus;
    }
    Record(node, "DriverEntry", service, status);
    if (!driver || !NT_SUCCESS(status)) {
        Fail(node, NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status, service + ": DriverEntry failed");
        return false;
    }
    loadedServices_.push_back(service);
    return true;
}

bool PnpManager::AddDevices(DeviceNode *node)
{
    for (const std::string &service : node->Services()) {
        PDRIVER_OBJECT driver = hk::DriverOf(service);
        PDRIVER_ADD_DEVICE addDevice = driver && driver->DriverExtension ? driver->DriverExtension->AddDevice : nullptr;
        NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
        PDEVICE_OBJECT topBefore = TopOfStack(node->pdo);
        if (addDevice) status = hk::CallAddDevice(driver, node->pdo);
        Record(node, "AddDevice", service, status);
        if (NT_SUCCESS(status)) {
            CheckAddedDeviceReady(service, driver, topBefore, node->pdo);
            CheckAddedFilter(*node, service, driver, topBefore);
        }
        if (!NT_SUCCESS(status)) {
            // What was added already is taken down again.
            if (node->pdo->AttachedDevice) TearDownStack(node);
            Fail(node, status, service + (addDevice ? ": AddDevice failed" : ": no AddDevice routine"));
            UnloadUnusedDrivers();
            return false;
        }
    }
    return true;
}

void PnpManager::TearDownStack(DeviceNode *node)
{
    node->removeSent = true;
    Send(node, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, "");
}

// --------------------------------------------------------------- start
bool PnpManager::StartNode(DeviceNode *node)
{
    // The list goes down in IoStatus.Information (and the parameters);
    // whatever comes back in its place is the node's requirement.
    PIO_RESOURCE_REQUIREMENTS_LIST offered = RequirementsToPool(node->requirements);
    if (!node->requirements.empty() && !offered) {
        Fail(node, STATUS_INSUFFICIENT_RESOURCES, "out of memory");
        return false;
    }
    const Sent filtered = Send(
        node, IRP_MJ_PNP, IRP_MN_FILTER_RESOURCE_REQUIREMENTS, "",
        [offered](PIO_STACK_LOCATION s) { s->Parameters.FilterResourceRequirements.IoResourceRequirementList = offered; },
        reinterpret_cast<ULONG_PTR>(offered));
    std::vector<uint8_t> wanted = node->requirements;
    if (NT_SUCCESS(filtered.status)) {
        auto *returned = reinterpret_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(filtered.information);
        wanted = RequirementsBytes(returned);
        if (returned && returned != offered) ExFreePool(returned);
    }
    // A driver that replaces the list should free the one it was given;
    // when it has not, the block is still ours.
    if (offered && hk::IsLivePoolBlock(offered)) ExFreePool(offered);

    node->consumesResources = RequirementsAskForResources(wanted);
    ResourceDescriptors raw, translated;
    std::string why;
    // A node that asks for nothing conflicts with nobody: the other nodes'
    // holdings are gathered only for one that asks.
    const auto held = node->consumesResources ? ResourcesHeldBesides(node)
                                              : std::vector<const ResourceDescriptors *>();
    if (!Arbitrate(wanted, held, &raw, &why)) {
        Fail(node, kStatusConflictingAddresses, "resource conflict: " + why);
        return false;
    }
    const BoardDescription *board = BoardOfPdo(node->pdo);
    const bool ioThroughMemory = board && board->resources.inMemorySpace;
    const ULONGLONG window = board ? board->resources.memoryWindow : kMemoryMappedIoWindow;
    for (const CM_PARTIAL_RESOURCE_DESCRIPTOR &d : raw) translated.push_back(Translate(d, ioThroughMemory, window));

    const INTERFACE_TYPE bus = RequirementsInterfaceType(wanted);
    PCM_RESOURCE_LIST rawList = ResourceListToPool(bus, raw);
    PCM_RESOURCE_LIST translatedList = ResourceListToPool(bus, translated);
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    if (raw.empty() || (rawList && translatedList)) {
        status = Send(node, IRP_MJ_PNP, IRP_MN_START_DEVICE, "",
                      [rawList, translatedList](PIO_STACK_LOCATION s) {
                          s->Parameters.StartDevice.AllocatedResources = rawList;
                          s->Parameters.StartDevice.AllocatedResourcesTranslated = translatedList;
                      })
                     .status;
        if (startObserver_) startObserver_(*node, raw, translated);
    }
    if (rawList) ExFreePool(rawList);
    if (translatedList) ExFreePool(translatedList);

    node->status = status;
    if (!NT_SUCCESS(status)) {
        Fail(node, status, "start failed");
        return false;
    }
    node->raw = raw;
    node->translated = translated;
    node->state = NodeState::Started;
    if (!raw.empty() && isResourceHolder_.insert(node).second) resourceHolders_.push_back(node);
    node->problem.clear();
    return true;
}

void PnpManager::Fail(DeviceNode *node, NTSTATUS status, const std::string &problem)
{
    node->state = NodeState::Failed;
    node->status = status;
    node->problem = problem;
    node->raw.clear();
    node->translated.clear();
}

void PnpManager::BringUp(DeviceNode *node)
{
    if (!QueryIdentity(node)) return;
    WriteHardwareKey(*node);
    if (!BindAndLoad(node) || !AddDevices(node)) return;
    if (!StartNode(node)) {
        // A device that fails its first start loses its stack.
        TearDownStack(node);
        UnloadUnusedDrivers();
        return;
    }
    // After the first start (ReactOS devaction.c PiStartDeviceFinal; MSD
    // kernel/adding-a-pnp-device-to-a-running-system.md): the capabilities
    // again, which a function driver may have changed, and the device state.
    QueryCapabilities(node);
    if (!QueryDeviceState(node)) return;
    Enumerate(node);
}

// PNP_DEVICE_FAILED or PNP_DEVICE_REMOVED in the answer takes the started
// device down again (MSD kernel/irp-mn-query-pnp-device-state.md). FAILED
// together with RESOURCE_REQUIREMENTS_CHANGED means the device "must be
// stopped before the PnP manager assigns new hardware resources" (the
// PNP_DEVICE_STATE flags on the same page): it is stopped even when it
// consumes no resources, and started again with its requirements queried
// anew. A stop it vetoes leaves it as it is.
bool PnpManager::QueryDeviceState(DeviceNode *node)
{
    const Sent sent = Send(node, IRP_MJ_PNP, IRP_MN_QUERY_PNP_DEVICE_STATE, "");
    node->pnpDeviceState = NT_SUCCESS(sent.status) ? PNP_DEVICE_STATE(sent.information) : 0;
    const PNP_DEVICE_STATE restart = PNP_DEVICE_FAILED | PNP_DEVICE_RESOURCE_REQUIREMENTS_CHANGED;
    if ((node->pnpDeviceState & (restart | PNP_DEVICE_REMOVED)) == restart) {
        // The restart leaves other invalidations to whoever runs the queue.
        const bool processing = processingInvalidations_;
        processingInvalidations_ = true;
        if (StopSubtree(node, true)) Restart(node);
        processingInvalidations_ = processing;
        return node->state == NodeState::Started;
    }
    if (!(node->pnpDeviceState & (PNP_DEVICE_FAILED | PNP_DEVICE_REMOVED))) return true;
    // Surprise-removed alone; its removal waits for its own handles, even
    // past its parent's removal ("Removing a Device in a Bus Driver": a child
    // pending surprise removal outlives its bus's FDO). Once removed, a child
    // whose parent is gone has been deleted by its bus driver.
    SurpriseRemoveSubtree(node);
    RemoveOnceClosed(node, [this, node] {
        RemoveSubtree(node);
        Fail(node, STATUS_UNSUCCESSFUL, "the device reported that it failed");
        if (node->parent && (!node->parent->pdo || node->parent->state == NodeState::Removed))
            ForgetSubtree(node);
        UnloadUnusedDrivers();
    });
    return false;
}

// ---------------------------------------------------------- enumeration
void PnpManager::Enumerate(DeviceNode *node)
{
    if (node->state != NodeState::Started) return;
    const Sent sent = Send(node, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS, "BusRelations",
                           [](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceRelations.Type = BusRelations; });
    if (!NT_SUCCESS(sent.status)) return;  // the children stay as they were

    std::vector<PDEVICE_OBJECT> reported;
    if (auto *relations = reinterpret_cast<PDEVICE_RELATIONS>(sent.information)) {
        for (ULONG i = 0; i < relations->Count; ++i) reported.push_back(relations->Objects[i]);
        ExFreePool(relations);
    }

    // A child no longer reported has left: surprise removal, then removal.
    const std::vector<DeviceNode *> known = node->children;
    for (DeviceNode *child : known) {
        if (!child->pdo || child->state == NodeState::Removed) continue;
        bool stillThere = false;
        for (PDEVICE_OBJECT pdo : reported) stillThere |= pdo == child->pdo;
        if (stillThere || child->state == NodeState::SurpriseRemoved) continue;
        child->leftOut = true;
        SurpriseRemoveSubtree(child);
        RemoveOnceClosed(child, [this, child] {
            RemoveSubtree(child);
            ForgetSubtree(child);
        });
    }

    std::vector<DeviceNode *> fresh;
    for (PDEVICE_OBJECT pdo : reported) {
        if (NodeOf(pdo)) {
            ObDereferenceObject(pdo);  // the node holds its reference already
            continue;
        }
        fresh.push_back(NewNode(pdo, node));
    }
    for (DeviceNode *child : fresh) BringUp(child);
    UnloadUnusedDrivers();
    ProcessInvalidations();
}

}  // namespace sim
