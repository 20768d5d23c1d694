#include "builtin_bus.h"

#include "lower_completion.h"
#include "lower_filter.h"
#include "pnp_resources.h"

#include <cstring>
#include <map>
#include <memory>
#include <sstream>

namespace sim {

namespace {

const ULONG kPoolTag = 0x42706E50;  // "PnpB" in memory
const ULONG kPdoSignature = 0x4F445042;  // "BPDO"

struct BusPdo {
    BoardDescription board;
    unsigned slot = 0;          // PCI device number, PCMCIA socket, root instance
    bool present = true;
    bool removedAfterLeaving = false;  // heard REMOVE once the board had left
};

struct PdoExtension {
    ULONG signature;
    BusPdo *state;
};

std::map<PDEVICE_OBJECT, std::unique_ptr<BusPdo>> &Pdos()
{
    static std::map<PDEVICE_OBJECT, std::unique_ptr<BusPdo>> pdos;
    return pdos;
}

unsigned &NextSlot(BusKind bus)
{
    static unsigned slots[3];
    return slots[int(bus)];
}

BusPdo *StateOf(PDEVICE_OBJECT pdo)
{
    auto it = Pdos().find(pdo);
    return it == Pdos().end() ? nullptr : it->second.get();
}

// ------------------------------------------------------------- answers
PWSTR PoolString(const std::u16string &text, bool multi)
{
    const size_t chars = text.size() + (multi ? 2 : 1);
    auto *buffer = static_cast<PWSTR>(hk::AllocateManagerPool(PagedPool, chars * sizeof(WCHAR), kPoolTag));
    if (!buffer) return nullptr;
    std::memset(buffer, 0, chars * sizeof(WCHAR));
    std::memcpy(buffer, text.data(), text.size() * sizeof(WCHAR));
    return buffer;
}

PWSTR PoolMultiString(const std::vector<std::string> &ids)
{
    std::u16string joined;
    for (const std::string &id : ids) {
        joined += hk::Wide(id);
        joined += u'\0';
    }
    // An empty list is the two terminators alone.
    if (!joined.empty()) joined.pop_back();
    return PoolString(joined, true);
}

std::string DeviceIdOf(const BusPdo &pdo)
{
    if (pdo.board.bus == BusKind::Root) return "ROOT\\MULTIPORTSERIAL";
    if (!pdo.board.hardwareIds.empty()) return pdo.board.hardwareIds.front();
    return pdo.board.bus == BusKind::Pci ? "PCI\\UNKNOWN" : "PCMCIA\\UNKNOWN";
}

std::string InstanceIdOf(const BusPdo &pdo)
{
    std::ostringstream id;
    switch (pdo.board.bus) {
    case BusKind::Pci: id << "3&1&" << std::hex << std::uppercase << pdo.slot * 8; break;
    case BusKind::Pcmcia: id << pdo.slot; break;
    case BusKind::Root:
        id.width(4);
        id.fill('0');
        id << pdo.slot;
        break;
    }
    return id.str();
}

NTSTATUS AnswerId(const BusPdo &pdo, BUS_QUERY_ID_TYPE type, ULONG_PTR *information, NTSTATUS unchanged)
{
    PWSTR answer = nullptr;
    switch (type) {
    case BusQueryDeviceID: answer = PoolString(hk::Wide(DeviceIdOf(pdo)), false); break;
    case BusQueryHardwareIDs: answer = PoolMultiString(pdo.board.hardwareIds); break;
    case BusQueryCompatibleIDs:
        if (pdo.board.compatibleIds.empty()) return unchanged;
        answer = PoolMultiString(pdo.board.compatibleIds);
        break;
    case BusQueryInstanceID: answer = PoolString(hk::Wide(InstanceIdOf(pdo)), false); break;
    default: return unchanged;
    }
    if (!answer) return STATUS_INSUFFICIENT_RESOURCES;
    *information = reinterpret_cast<ULONG_PTR>(answer);
    return STATUS_SUCCESS;
}

NTSTATUS AnswerText(const BusPdo &pdo, DEVICE_TEXT_TYPE type, ULONG_PTR *information, NTSTATUS unchanged)
{
    std::ostringstream text;
    const BusKind bus = pdo.board.bus;
    if (type == DeviceTextDescription) {
        if (bus == BusKind::Root) return unchanged;  // root devices are described by their INF only
        text << (bus == BusKind::Pci ? "PCI Multiport Serial Controller" : "PC Card Multiport Serial Adapter");
    } else if (type == DeviceTextLocationInformation) {
        if (bus == BusKind::Root) return unchanged;
        if (bus == BusKind::Pci)
            text << "PCI bus 0, device " << pdo.slot << ", function 0";
        else
            text << "PCMCIA socket " << pdo.slot;
    } else {
        return unchanged;
    }
    PWSTR answer = PoolString(hk::Wide(text.str()), false);
    if (!answer) return STATUS_INSUFFICIENT_RESOURCES;
    *information = reinterpret_cast<ULONG_PTR>(answer);
    return STATUS_SUCCESS;
}

void FillCapabilities(const BusPdo &pdo, PDEVICE_CAPABILITIES caps)
{
    const bool pcCard = pdo.board.bus == BusKind::Pcmcia;
    caps->Removable = pcCard;
    caps->SurpriseRemovalOK = pcCard;
    caps->UniqueID = FALSE;  // the instance ID names a slot, not a board
    caps->SilentInstall = TRUE;
    if (pdo.board.bus == BusKind::Pci) {
        caps->Address = pdo.slot << 16;  // device number, function 0
        caps->UINumber = pdo.slot;
    } else if (pcCard) {
        caps->Address = pdo.slot;
        caps->UINumber = pdo.slot;
    }
    caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s) caps->DeviceState[s] = PowerDeviceD3;
    caps->SystemWake = PowerSystemUnspecified;
    caps->DeviceWake = PowerDeviceUnspecified;
}

NTSTATUS AnswerRequirements(const BusPdo &pdo, ULONG_PTR *information)
{
    PIO_RESOURCE_REQUIREMENTS_LIST list = RequirementsToPool(BoardRequirements(pdo.board));
    if (!list) return STATUS_INSUFFICIENT_RESOURCES;
    *information = reinterpret_cast<ULONG_PTR>(list);
    return STATUS_SUCCESS;
}

// The bus a board sits on: PCI or PCMCIA with their bus type GUIDs
// (wdmguid.h); the root enumerator is no bus and leaves the request alone.
NTSTATUS AnswerBusInformation(const BusPdo &pdo, ULONG_PTR *information, NTSTATUS unchanged)
{
    static const GUID kPciBus = {0xc8ebdfb0, 0xb510, 0x11d0, {0x80, 0xe5, 0x00, 0xa0, 0xc9, 0x25, 0x42, 0xe3}};
    static const GUID kPcmciaBus = {0x09343630, 0xaf9f, 0x11d0, {0x92, 0xe9, 0x00, 0x00, 0xf8, 0x1e, 0x1b, 0x30}};
    if (pdo.board.bus == BusKind::Root) return unchanged;
    auto *bus = static_cast<PPNP_BUS_INFORMATION>(
        hk::AllocateManagerPool(PagedPool, sizeof(PNP_BUS_INFORMATION), kPoolTag));
    if (!bus) return STATUS_INSUFFICIENT_RESOURCES;
    bus->BusTypeGuid = pdo.board.bus == BusKind::Pci ? kPciBus : kPcmciaBus;
    bus->LegacyBusType = InterfaceTypeOf(pdo.board.bus);
    bus->BusNumber = 0;
    *information = reinterpret_cast<ULONG_PTR>(bus);
    return STATUS_SUCCESS;
}

NTSTATUS AnswerTargetRelation(PDEVICE_OBJECT pdo, ULONG_PTR *information)
{
    auto *relations =
        static_cast<PDEVICE_RELATIONS>(hk::AllocateManagerPool(PagedPool, sizeof(DEVICE_RELATIONS), kPoolTag));
    if (!relations) return STATUS_INSUFFICIENT_RESOURCES;
    ObReferenceObject(pdo);
    relations->Count = 1;
    relations->Objects[0] = pdo;
    *information = reinterpret_cast<ULONG_PTR>(relations);
    return STATUS_SUCCESS;
}

// --------------------------------------------------------------- dispatch
NTSTATUS NTAPI BusPdoPnp(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    BusPdo *pdo = StateOf(device);
    NTSTATUS status = irp->IoStatus.Status;
    if (!pdo) {
        status = STATUS_NO_SUCH_DEVICE;
    } else if (RefusedAroundLowerFilter(device, irp)) {
        status = STATUS_INVALID_DEVICE_STATE;
    } else {
        switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE:
            status = pdo->present ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE;
            break;
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL: status = STATUS_SUCCESS; break;
        case IRP_MN_REMOVE_DEVICE:
            // A board still in its slot keeps its PDO for the next enumeration;
            // one that has left loses it once the removal has come back up.
            status = STATUS_SUCCESS;
            pdo->removedAfterLeaving = !pdo->present;
            break;
        case IRP_MN_QUERY_CAPABILITIES:
            FillCapabilities(*pdo, stack->Parameters.DeviceCapabilities.Capabilities);
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_QUERY_ID:
            status = AnswerId(*pdo, stack->Parameters.QueryId.IdType, &irp->IoStatus.Information, status);
            break;
        case IRP_MN_QUERY_DEVICE_TEXT:
            status = AnswerText(*pdo, stack->Parameters.QueryDeviceText.DeviceTextType, &irp->IoStatus.Information,
                                status);
            break;
        case IRP_MN_QUERY_RESOURCE_REQUIREMENTS: status = AnswerRequirements(*pdo, &irp->IoStatus.Information); break;
        case IRP_MN_QUERY_BUS_INFORMATION:
            status = AnswerBusInformation(*pdo, &irp->IoStatus.Information, status);
            break;
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation)
                status = AnswerTargetRelation(device, &irp->IoStatus.Information);
            break;
        default: break;  // not ours to answer: the status stays as it came
        }
    }
    return CompleteLowerRequest(irp, status);
}

NTSTATUS NTAPI BusPdoPower(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    PoStartNextPowerIrp(irp);
    if (RefusedAroundLowerFilter(device, irp)) {
        status = STATUS_INVALID_DEVICE_STATE;
    } else if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
        if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState) {
            PoSetPowerState(device, DevicePowerState, stack->Parameters.Power.State);
            BusPdo *pdo = StateOf(device);
            if (pdo && pdo->board.setHardwarePower) pdo->board.setHardwarePower(stack->Parameters.Power.State.DeviceState);
        }
        status = STATUS_SUCCESS;
    }
    return CompleteLowerRequest(irp, status);
}

NTSTATUS NTAPI BusDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    driver->MajorFunction[IRP_MJ_PNP] = BusPdoPnp;
    driver->MajorFunction[IRP_MJ_POWER] = BusPdoPower;
    return STATUS_SUCCESS;
}

PDRIVER_OBJECT BusDriver(BusKind bus)
{
    const char *service = BusServiceName(bus);
    if (PDRIVER_OBJECT driver = hk::DriverOf(service)) return driver;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver = hk::LoadBuiltinDriver(service, BusDriverEntry, &status);
    return NT_SUCCESS(status) ? driver : nullptr;
}

}  // namespace

const char *BusServiceName(BusKind bus)
{
    switch (bus) {
    case BusKind::Pci: return "pci";
    case BusKind::Pcmcia: return "pcmcia";
    case BusKind::Root: return "PnpManager";
    }
    return "";
}

PDEVICE_OBJECT CreateBoardPdo(const BoardDescription &board)
{
    PDRIVER_OBJECT driver = BusDriver(board.bus);
    if (!driver) return nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(driver, sizeof(PdoExtension), nullptr, FILE_DEVICE_UNKNOWN,
                                   FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo)))
        return nullptr;
    auto state = std::make_unique<BusPdo>();
    state->board = board;
    state->slot = NextSlot(board.bus)++;
    auto *extension = static_cast<PdoExtension *>(pdo->DeviceExtension);
    extension->signature = kPdoSignature;
    extension->state = state.get();
    Pdos()[pdo] = std::move(state);
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    ObReferenceObject(pdo);
    return pdo;
}

const BoardDescription *BoardOfPdo(PDEVICE_OBJECT pdo)
{
    const BusPdo *state = StateOf(pdo);
    return state ? &state->board : nullptr;
}

void MarkBoardMissing(PDEVICE_OBJECT pdo)
{
    if (BusPdo *state = StateOf(pdo)) state->present = false;
}

bool BoardPresent(PDEVICE_OBJECT pdo)
{
    const BusPdo *state = StateOf(pdo);
    return state && state->present;
}

void FinishBoardRemoval(PDEVICE_OBJECT pdo)
{
    BusPdo *state = StateOf(pdo);
    if (!state || !state->removedAfterLeaving) return;
    Pdos().erase(pdo);
    IoDeleteDevice(pdo);
}

void SetBoardResources(PDEVICE_OBJECT pdo, const BoardResources &resources)
{
    if (BusPdo *state = StateOf(pdo)) state->board.resources = resources;
}

void ResetBuiltinBuses()
{
    JoinLowerCompletions();
    Pdos().clear();
    for (BusKind bus : {BusKind::Pci, BusKind::Pcmcia, BusKind::Root}) NextSlot(bus) = 0;
}

}  // namespace sim
