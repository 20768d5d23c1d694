/*
 * IRPs: allocation with contiguous stack locations, IoCallDriver,
 * IoCompleteRequest's upward walk with completion routines, and the I/O
 * verifier's checks (double completion, pending without IoMarkIrpPending,
 * freeing an IRP that is still out, a final status that is not one, a
 * return value that contradicts the completion, the IRQL a dispatch or
 * completion routine hands back, requests to deleted devices, a failed
 * remove; platform/VERIFIER.md lists them). Each IRP has a private record;
 * the IRP itself carries nothing but what Windows keeps in it.
 */
#include "irql_rules.h"
#include "kernel_core.h"
#include "pnp_hooks.h"
#include "quarantine.h"

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <unordered_map>
#include <vector>

namespace {

constexpr CSHORT kIoTypeIrp = 6;
constexpr unsigned char kFreedFill = 0xDB;

// Per stack location, numbered as CurrentLocation counts them (1 is the
// bottom of the stack).
enum LocationFlag : uint8_t {
    kMarkedPending = 1,    // IoMarkIrpPending while this location was current
    kReturnedPending = 2,  // its dispatch routine returned STATUS_PENDING
    kWalkedPast = 4,       // the completion walk has left this location
    kSentHere = 8,         // a dispatch routine was called for this location
};

// A driver a set- or query-power IRP reached, and whether it let the power
// manager go on with PoStartNextPowerIrp.
struct PowerFrame {
    PDEVICE_OBJECT device;
    std::string image;
    int location;  // CurrentLocation while its dispatch routine runs
    bool startedNext;
};

struct IrpRecord {
    std::string owner;
    bool fromIoAllocateIrp = false;  // a driver's own IRP, not a manager's
    bool powerOriginChecked = false;
    bool outstanding = false;  // sent, and neither finished nor handed back
    bool finished = false;     // the completion walk reached the top
    std::vector<uint8_t> locations;
    std::vector<PowerFrame> powerFrames;  // top of the stack first
    // IoStatus.Status as the completion walk reached each location: the
    // status its driver completed the request with, or passed up.
    std::vector<NTSTATUS> completedWith;
    std::vector<const void *> dispatchOf;  // the dispatch routine each location was sent to
    bool sent = false;                     // sent once since it was allocated or initialised
    // IoStatus as the driver at each location last had it from others: when
    // the request reached its dispatch routine, or came back up to it. What
    // it changes from there is its own doing.
    std::vector<IO_STATUS_BLOCK> seen;
};

// A remove-lock acquisition a dispatch routine made, and whether it has
// released it again.
struct LockUse {
    const void *lock;
    const void *tag;
    bool released;
};

// The requests this thread is inside of (dispatch or completion routine
// running), innermost last: what a driver is doing when it calls a service.
struct InHand {
    PIRP irp;
    UCHAR major, minor;
    bool dispatch;               // a dispatch routine, not a completion routine
    std::vector<LockUse> locks;  // remove-lock acquisitions made in this routine
    int location;                // the stack location it was called for
};
thread_local std::vector<InHand> inHand;

class Holding {
public:
    Holding(PIRP irp, UCHAR major, UCHAR minor, bool dispatch, int location = 0)
    {
        inHand.push_back(InHand{irp, major, minor, dispatch, {}, location});
    }
    ~Holding() { inHand.pop_back(); }
};

// Static Driver Verifier's RemoveLockForward rule (and RemoveLockQueryMnRemove
// for a query-remove): a dispatch routine that acquired a remove lock for a
// request still holds it when it forwards the request; it releases it after
// IoCallDriver or PoCallDriver, or in its completion routine (DDI
// IoReleaseRemoveLock). Released before, nothing keeps the device, its
// extension and the lower device object it reads there in place while the
// request goes down. The rule leaves IRP_MN_REMOVE_DEVICE and
// IRP_MN_SURPRISE_REMOVAL to the rules of their own, and so does this check.
void CheckLockHeldForForward(PIRP irp, const std::string &caller)
{
    if (inHand.empty()) return;
    const InHand &frame = inHand.back();
    if (!frame.dispatch || frame.irp != irp) return;
    if (frame.major == IRP_MJ_PNP &&
        (frame.minor == IRP_MN_REMOVE_DEVICE || frame.minor == IRP_MN_SURPRISE_REMOVAL))
        return;
    for (const LockUse &use : frame.locks) {
        if (!use.released) continue;
        std::ostringstream detail;
        detail << "dispatch routine forwarded IRP " << irp << " (major 0x" << std::hex << int(frame.major)
               << " minor 0x" << int(frame.minor) << std::dec << ") after releasing the remove lock " << use.lock
               << " (tag " << use.tag << ") it acquired for it (Static Driver Verifier RemoveLockForward)";
        hk::ReportViolation("REMOVE_LOCK_RELEASED_BEFORE_FORWARD", caller, detail.str());
        return;
    }
}

std::unordered_map<PIRP, IrpRecord> &Irps()
{
    static auto *irps = new std::unordered_map<PIRP, IrpRecord>;
    return *irps;
}

hk::internal::Quarantine &Freed()
{
    static auto *freed = new hk::internal::Quarantine(1024, kFreedFill, "IRP");
    return *freed;
}

IrpRecord *RecordOf(PIRP irp)
{
    auto found = Irps().find(irp);
    return found == Irps().end() ? nullptr : &found->second;
}

std::string Pointer(const void *p)
{
    std::ostringstream text;
    text << p;
    return text.str();
}

std::string Describe(PIRP irp, PIO_STACK_LOCATION location)
{
    std::ostringstream text;
    text << "IRP " << irp;
    // A finished IRP's current location lies past its last one.
    const PIO_STACK_LOCATION first = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
    if (location >= first && location < first + irp->StackCount) {
        text << " (major 0x" << std::hex << int(location->MajorFunction) << " minor 0x"
             << int(location->MinorFunction) << std::dec << ")";
    }
    return text.str();
}

// An IRP the kernel never handed out, or one already freed, is not
// something the host can keep going with safely unless it was ours.
IrpRecord *RequireRecord(PIRP irp, const char *routine, const std::string &image, const char *violation)
{
    IrpRecord *record = RecordOf(irp);
    if (record != nullptr) return record;
    std::ostringstream detail;
    detail << routine << "(" << irp << ")";
    if (Freed().Holds(irp)) {
        hk::ReportViolation(violation, image, detail.str() + " after IoFreeIrp");
        return nullptr;
    }
    // Driver Verifier 0xC9/0x03 ("an IRP Type not equal to IO_TYPE_IRP");
    // without it Windows works on whatever the pointer holds.
    std::ostringstream why;
    why << "DRIVER_VERIFIER_IOMANAGER_VIOLATION (0x3, " << irp << ", 0, 0): " << detail.str() << " by " << image
        << ": not an IRP from IoAllocateIrp";
    hk::BugCheck(0xC9, why.str());
}

void InitializeIrp(PIRP irp, USHORT packetSize, CCHAR stackSize)
{
    std::memset(irp, 0, packetSize);
    irp->Type = kIoTypeIrp;
    irp->Size = packetSize;
    irp->StackCount = stackSize;
    irp->CurrentLocation = CCHAR(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
    std::lock_guard<std::recursive_mutex> hold(hk::internal::BookkeepingLock());
    if (IrpRecord *record = RecordOf(irp)) {
        record->outstanding = record->finished = false;
        record->locations.assign(size_t(stackSize) + 2, 0);
        record->powerFrames.clear();
        record->powerOriginChecked = false;
        record->completedWith.assign(size_t(stackSize) + 2, STATUS_SUCCESS);
        record->dispatchOf.assign(size_t(stackSize) + 2, nullptr);
        record->seen.assign(size_t(stackSize) + 2, IO_STATUS_BLOCK{});
        record->sent = false;
    }
}

void CheckPendingMarked(PIRP irp, IrpRecord &record, int location, PIO_STACK_LOCATION stack)
{
    if ((record.locations[location] & (kReturnedPending | kMarkedPending)) != kReturnedPending) return;
    const void *dispatch = record.dispatchOf[location];
    hk::ReportViolation("IRP_PENDING_NOT_MARKED", dispatch ? hk::ImageOfAddress(dispatch) : std::string("host"),
                        "dispatch routine of device " + Pointer(stack->DeviceObject) + " returned STATUS_PENDING for " +
                            Describe(irp, stack) + " without IoMarkIrpPending");
}


bool IsSerialisedPowerRequest(PIO_STACK_LOCATION stack)
{
    return stack->MajorFunction == IRP_MJ_POWER &&
           (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER);
}

// Windows 2000, XP and Server 2003 (WDM below 6.0) serialise power IRPs per
// device: PoCallDriver, not IoCallDriver, must send them, and every driver
// they reach calls PoStartNextPowerIrp once, or the next power IRP for the
// device never comes ("might cause a system deadlock"). From Vista on
// IoCallDriver is fine and PoStartNextPowerIrp does nothing (MSD
// kernel/calling-iocalldriver-versus-calling-pocalldriver.md,
// kernel/calling-postartnextpowerirp.md).
bool PowerIrpsSerialised() { return !hk::internal::WdmVersionAtLeast(6, 0); }

// Checked as the completion walk leaves a stack location: the drivers that
// held the IRP there (one, or several that skipped their location) are done
// with it and each has started the next power IRP, on the way down or in its
// completion routine on the way up, as a driver that powers up does.
void CheckPowerIrpsStarted(PIRP irp, IrpRecord &record, int location)
{
    auto &frames = record.powerFrames;
    for (auto frame = frames.begin(); frame != frames.end();) {
        if (frame->location != location) {
            ++frame;
            continue;
        }
        if (!frame->startedNext && PowerIrpsSerialised()) {
            std::ostringstream detail;
            detail << "device " << frame->device << " passed down or completed power IRP " << irp
                   << " without PoStartNextPowerIrp: the power manager holds the device's next power IRP";
            hk::ReportViolation("POWER_IRP_NEXT_NOT_STARTED", frame->image, detail.str());
        }
        frame = frames.erase(frame);
    }
}

void NotePowerDispatch(PIRP irp, IrpRecord &record, PDEVICE_OBJECT device, PIO_STACK_LOCATION stack,
                       PDRIVER_DISPATCH dispatch, const std::string &caller, bool viaPoCallDriver)
{
    if (!IsSerialisedPowerRequest(stack)) return;
    if (PowerIrpsSerialised() && !viaPoCallDriver) {
        std::ostringstream detail;
        detail << "IoCallDriver(" << device << ", " << Describe(irp, stack)
               << "): power IRPs go through PoCallDriver before Windows Vista";
        hk::ReportViolation("POWER_IRP_SENT_WITH_IOCALLDRIVER", caller, detail.str());
    }
    // A driver has no business making power IRPs of its own: the power
    // manager sends system requests and PoRequestPowerIrp device requests
    // (MSD kernel/irp-mn-set-power.md, "drivers must not allocate").
    if (record.fromIoAllocateIrp && !record.powerOriginChecked) {
        record.powerOriginChecked = true;
        std::ostringstream detail;
        detail << "power IRP " << irp << " allocated with IoAllocateIrp was sent to device " << device
               << ": only PoRequestPowerIrp creates power IRPs";
        hk::ReportViolation("POWER_IRP_NOT_REQUESTED", record.owner, detail.str());
    }
    record.powerFrames.push_back(PowerFrame{device, hk::ImageOfAddress(reinterpret_cast<const void *>(dispatch)),
                                            irp->CurrentLocation, false});
}

// ------------------------------------------------ Plug and Play and power
// Driver Verifier's I/O verification of PnP and power requests (MSD
// debugger/bug-check-0xc9--driver-verifier-iomanager-violation.md, the
// "WDM DRIVER ERROR" codes: reported, and ignorable in a debugger, so
// violations here). What a driver may do depends on its place: the PDO's
// bus driver completes every request, leaving the status of one it does
// not handle as it came; a function or filter driver passes down what it
// does not handle, untouched, and completes only to fail. A device attached
// to nothing is taken for a PDO, the looser of the two.

// The last minor codes Windows defines (IRP_MN_DEVICE_ENUMERATED, 0x19, from
// Vista on; IRP_MN_QUERY_POWER): beyond them a request is one no driver
// understands, which the verifier itself sends to see it left alone.
constexpr UCHAR kLastPnpMinor = 0x19;
constexpr UCHAR kLastPowerMinor = IRP_MN_QUERY_POWER;

bool UnknownMinor(UCHAR major, UCHAR minor)
{
    return (major == IRP_MJ_PNP && minor > kLastPnpMinor) || (major == IRP_MJ_POWER && minor > kLastPowerMinor);
}

// The requests that move a device between states: every driver of the stack
// takes part (the function and filter drivers pass them down), and each sets
// the status to say it did (MSD kernel/irp-mn-start-device.md and the pages
// of the stop, remove and surprise-removal requests).
bool RequiredPnpMinor(UCHAR minor)
{
    switch (minor) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        return true;
    default:
        return false;
    }
}

bool IsPdo(PDEVICE_OBJECT device) { return device == nullptr || hk::LowerDeviceOf(device) == nullptr; }

void ReportRequestRule(const char *name, const std::string &image, PIRP irp, UCHAR major, UCHAR minor,
                       PDEVICE_OBJECT device, const char *code, const std::string &what)
{
    // Driver Verifier's I/O verification watches the drivers selected for
    // it (verifier /flags ... /driver NAME.sys; MSD devtest/
    // enhanced-i-o-verification.md): Windows' own drivers beside ours, not
    // selected, are not judged.
    if (!hk::UnderVerification(image)) return;
    std::ostringstream detail;
    detail << what << ": IRP " << irp << " (major 0x" << std::hex << int(major) << " minor 0x" << int(minor)
           << ") at device " << device << " with status 0x" << ULONG(irp->IoStatus.Status) << std::dec
           << " (Driver Verifier 0xC9/" << code << ")";
    hk::ReportViolation(name, image, detail.str());
}

// 0x248: every entry of a relations list is a PDO; an FDO or a filter's
// device (attached to another) is not one.
void CheckRelations(PIRP irp, UCHAR minor, const IO_STATUS_BLOCK &before, PDEVICE_OBJECT device,
                    const std::string &image)
{
    if (minor != IRP_MN_QUERY_DEVICE_RELATIONS || irp->IoStatus.Information == before.Information ||
        irp->IoStatus.Information == 0 || !NT_SUCCESS(irp->IoStatus.Status))
        return;
    const auto *relations = reinterpret_cast<const DEVICE_RELATIONS *>(irp->IoStatus.Information);
    for (ULONG i = 0; i < relations->Count; ++i) {
        if (IsPdo(relations->Objects[i])) continue;
        std::ostringstream what;
        what << "device " << relations->Objects[i] << ", attached to another, reported in device relations";
        ReportRequestRule("NON_PDO_IN_RELATIONS", image, irp, IRP_MJ_PNP, minor, device, "0x248", what.str());
        return;
    }
}

// What a driver changed in a request it does not understand (0x213, 0x23B,
// 0x214), and a status it put on a PnP request that only the system may
// (0x216). |before| is the status block as the driver had it from others.
void CheckChanges(PIRP irp, UCHAR major, UCHAR minor, const IO_STATUS_BLOCK &before, PDEVICE_OBJECT device,
                  const std::string &image)
{
    const bool changed = irp->IoStatus.Status != before.Status;
    if (UnknownMinor(major, minor)) {
        if (changed)
            ReportRequestRule("IRP_UNKNOWN_STATUS_CHANGED", image, irp, major, minor, device, "0x213",
                              "status changed on a request the driver does not understand");
        if (irp->IoStatus.Information != before.Information)
            ReportRequestRule("IRP_UNKNOWN_INFORMATION_CHANGED", image, irp, major, minor, device, "0x214",
                              "information changed on a request the driver does not understand");
        return;
    }
    if (major != IRP_MJ_PNP) return;
    if (changed && irp->IoStatus.Status == STATUS_NOT_SUPPORTED)
        ReportRequestRule("PNP_STATUS_NOT_SUPPORTED", image, irp, major, minor, device, "0x216",
                          "status set to STATUS_NOT_SUPPORTED, which is reserved to the system");
    CheckRelations(irp, minor, before, device, image);
}

// A request the driver holding it (in a dispatch routine on this thread)
// passes down.
void CheckForwarded(PIRP irp, IrpRecord &record, const std::string &caller)
{
    const InHand *frame = nullptr;
    for (const InHand &held : inHand) {
        hk::CountWork(hk::Work::HostWalk);
        if (held.dispatch && held.irp == irp) frame = &held;
    }
    if (frame == nullptr || frame->location >= int(record.seen.size())) return;
    if (frame->major != IRP_MJ_PNP && frame->major != IRP_MJ_POWER) return;
    const IO_STATUS_BLOCK &before = record.seen[frame->location];
    const NTSTATUS status = irp->IoStatus.Status;
    PDEVICE_OBJECT device = (reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + frame->location - 1)->DeviceObject;
    CheckChanges(irp, frame->major, frame->minor, before, device, caller);
    // 0x215: a failed PnP request is completed, not passed down.
    if (frame->major == IRP_MJ_PNP && !UnknownMinor(frame->major, frame->minor) && status != before.Status &&
        !NT_SUCCESS(status) && status != STATUS_NOT_SUPPORTED)
        ReportRequestRule("PNP_FAILURE_PASSED_DOWN", caller, irp, frame->major, frame->minor, device, "0x215",
                          "failed PnP request passed down instead of completed");
}

// A driver's own PnP or power request, as it first goes out (0x20E, 0x20F:
// it starts at STATUS_NOT_SUPPORTED; 0x233-0x236: a capabilities query
// carries Version 1, its Size, and Address and UINumber of -1, MSD
// kernel/irp-mn-query-capabilities.md).
void CheckDriverRequest(PIRP irp, PIO_STACK_LOCATION stack, PDEVICE_OBJECT device, const std::string &caller)
{
    const UCHAR major = stack->MajorFunction, minor = stack->MinorFunction;
    if (major != IRP_MJ_PNP && major != IRP_MJ_POWER) return;
    if (irp->IoStatus.Status != STATUS_NOT_SUPPORTED) {
        const bool pnp = major == IRP_MJ_PNP;
        ReportRequestRule(pnp ? "PNP_IRP_INITIAL_STATUS" : "POWER_IRP_INITIAL_STATUS", caller, irp, major, minor,
                          device, pnp ? "0x20E" : "0x20F", "request sent without its status set to STATUS_NOT_SUPPORTED");
    }
    if (major != IRP_MJ_PNP || minor != IRP_MN_QUERY_CAPABILITIES) return;
    const DEVICE_CAPABILITIES *caps = stack->Parameters.DeviceCapabilities.Capabilities;
    if (caps == nullptr) return;
    std::string fields;
    if (caps->Version != 1) fields += " Version (0x233)";
    if (caps->Size != sizeof(DEVICE_CAPABILITIES)) fields += " Size (0x234)";
    if (caps->Address != 0xFFFFFFFFu) fields += " Address (0x235)";
    if (caps->UINumber != 0xFFFFFFFFu) fields += " UINumber (0x236)";
    if (!fields.empty())
        ReportRequestRule("CAPABILITIES_NOT_INITIALIZED", caller, irp, major, minor, device, "0x233-0x236",
                          "capabilities query sent without" + fields + " set");
}

// The completion walk hands the request back up to the location now
// current: its driver has it from others as it stands.
void NoteHandedBack(PIRP irp, IrpRecord &record)
{
    const int location = irp->CurrentLocation;
    if (location >= 1 && location < int(record.seen.size())) record.seen[location] = irp->IoStatus;
}

// A request completed (IoCompleteRequest) by the driver at |location|.
void CheckPnpPowerCompletion(PIRP irp, IrpRecord &record, int location, PIO_STACK_LOCATION stack,
                             const std::string &caller)
{
    const UCHAR major = stack->MajorFunction, minor = stack->MinorFunction;
    if (major != IRP_MJ_PNP && major != IRP_MJ_POWER) return;
    if (location < 1 || location >= int(record.seen.size())) return;
    PDEVICE_OBJECT device = stack->DeviceObject;
    // The I/O manager's own answer for a driver without the routine.
    if (device != nullptr && device->DriverObject->MajorFunction[major] == hk::internal::DefaultDispatch) return;
    const IO_STATUS_BLOCK &before = record.seen[location];
    CheckChanges(irp, major, minor, before, device, caller);
    const NTSTATUS status = irp->IoStatus.Status;
    const bool passedDown = location > 1 && (record.locations[location - 1] & kSentHere);
    const bool pnp = major == IRP_MJ_PNP;
    if (!IsPdo(device) && !passedDown) {
        // 0x22D-0x22F, 0x230-0x232: a function or filter driver passes down
        // what it does not fail.
        const char *name = pnp ? "PNP_IRP_COMPLETED_NOT_PASSED" : "POWER_IRP_COMPLETED_NOT_PASSED";
        if (UnknownMinor(major, minor)) {
            ReportRequestRule(name, caller, irp, major, minor, device, pnp ? "0x22D" : "0x230",
                              "request the driver does not understand completed instead of passed down");
        } else if (status == STATUS_NOT_SUPPORTED && pnp && RequiredPnpMinor(minor)) {
            // Arriving at STATUS_NOT_SUPPORTED, a START (or stop or remove)
            // completed with it is one the driver did not handle, whether
            // it meant to fail it or not.
            ReportRequestRule("PNP_REQUIRED_IRP_NOT_HANDLED", caller, irp, major, minor, device, "0x217",
                              "required request completed with STATUS_NOT_SUPPORTED, not handled");
        } else if (status == STATUS_NOT_SUPPORTED) {
            ReportRequestRule(name, caller, irp, major, minor, device, pnp ? "0x22F" : "0x232",
                              "request completed untouched or with STATUS_NOT_SUPPORTED instead of passed down");
        } else if (NT_SUCCESS(status) && (!pnp || RequiredPnpMinor(minor))) {
            ReportRequestRule(name, caller, irp, major, minor, device, pnp ? "0x22E" : "0x231",
                              "successful request completed instead of passed down");
        }
        return;
    }
    // 0x22A: the PDO answers a required request, whatever the drivers above
    // it did with it.
    if (pnp && IsPdo(device) && RequiredPnpMinor(minor) && status == STATUS_NOT_SUPPORTED &&
        before.Status == STATUS_NOT_SUPPORTED)
        ReportRequestRule("PNP_REQUIRED_IRP_NOT_HANDLED", caller, irp, major, minor, device, "0x22A",
                          "the PDO completed a required request without handling it");
}

// 0x21D, 0x21E: a function or filter driver's device leaves its stack with
// IRP_MN_REMOVE_DEVICE, detached and deleted by the time its dispatch
// routine returns. A PDO stays until its bus driver knows the device gone;
// once its bus no longer reports it, it goes at its removal too ("Removing
// a Device in a Bus Driver": the bus driver deletes the PDO of a device
// reported missing when it handles IRP_MN_REMOVE_DEVICE).
bool ReportedMissing(PDEVICE_OBJECT device)
{
    const hk::PnpHooks hooks = hk::internal::CurrentPnpHooks();
    return hooks.reportedMissing && hooks.reportedMissing(device);
}

void CheckRemoved(PDEVICE_OBJECT device, const std::string &image, PIRP irp)
{
    const bool attached = hk::LowerDeviceOf(device) != nullptr;
    const bool deleted = hk::internal::LifeOf(device) != hk::internal::DeviceLife::Live;
    std::ostringstream detail;
    detail << "device " << device << " after its dispatch routine returned from IRP_MN_REMOVE_DEVICE (IRP " << irp
           << ")";
    if (attached)
        hk::ReportViolation("DEVICE_NOT_DETACHED_AT_REMOVE", image,
                            detail.str() + " is still attached to the device below (Driver Verifier 0xC9/0x21D)");
    if (!deleted)
        hk::ReportViolation("DEVICE_NOT_DELETED_AT_REMOVE", image,
                            detail.str() + " was not deleted (Driver Verifier 0xC9/0x21E)");
}

// What a request sent to a deleted device meets instead of its driver: it
// completes with the status block it came with.
NTSTATUS NTAPI HandBackUndelivered(PDEVICE_OBJECT, PIRP irp)
{
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
    const NTSTATUS status = irp->IoStatus.Status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// IoCallDriver's and PoCallDriver's body, with the image that asked for the
// call; PoCallDriver's sends say so, so that a power IRP sent with
// IoCallDriver is told apart.
NTSTATUS SendToDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp, const std::string &caller, bool viaPoCallDriver)
{
    int location;
    PDRIVER_DISPATCH dispatch;
    CheckLockHeldForForward(Irp, caller);
    hk::CountWork(hk::Work::RequestDispatched);
    {
        std::lock_guard<std::recursive_mutex> hold(hk::internal::BookkeepingLock());
        IrpRecord *record = RequireRecord(Irp, "IoCallDriver", caller, "IRP_FREED_IN_USE");
        if (record == nullptr) return STATUS_INVALID_PARAMETER;
        const bool deliver = hk::internal::CheckRequestTarget(DeviceObject, Irp, caller);
        if (record->sent) CheckForwarded(Irp, *record, caller);
        // The count is checked before the pointer moves, as Windows does: an
        // IRP sent past its last location may have had that pointer
        // overwritten by a copy into the location that is not there.
        Irp->CurrentLocation--;
        if (Irp->CurrentLocation <= 0) {
            std::ostringstream why;
            why << "NO_MORE_IRP_STACK_LOCATIONS (" << Irp << ", 0, 0, 0): " << caller << " sent IRP " << Irp
                << " with " << int(Irp->StackCount) << " stack locations to device " << DeviceObject
                << " past its last location";
            hk::BugCheck(0x35, why.str());
        }
        Irp->Tail.Overlay.CurrentStackLocation--;
        location = Irp->CurrentLocation;
        PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
        stack->DeviceObject = DeviceObject;
        record->outstanding = true;
        record->finished = false;
        record->locations[location] = kSentHere;
        if (location > 1) record->locations[location - 1] &= uint8_t(~kSentHere);
        record->seen[location] = Irp->IoStatus;
        if (!record->sent && record->fromIoAllocateIrp) CheckDriverRequest(Irp, stack, DeviceObject, caller);
        record->sent = true;
        dispatch = stack->MajorFunction <= IRP_MJ_MAXIMUM_FUNCTION
                       ? DeviceObject->DriverObject->MajorFunction[stack->MajorFunction]
                       : nullptr;
        if (dispatch == nullptr) dispatch = hk::internal::DefaultDispatch;
        if (!deliver) dispatch = HandBackUndelivered;
        record->dispatchOf[location] = reinterpret_cast<const void *>(dispatch);
        NotePowerDispatch(Irp, *record, DeviceObject, stack, dispatch, caller, viaPoCallDriver);
    }

    const UCHAR major = Irp->Tail.Overlay.CurrentStackLocation->MajorFunction;
    const UCHAR minor = Irp->Tail.Overlay.CurrentStackLocation->MinorFunction;
    const bool removing =
        major == IRP_MJ_PNP && minor == IRP_MN_REMOVE_DEVICE && (!IsPdo(DeviceObject) || ReportedMissing(DeviceObject));
    NTSTATUS status;
    {
        // Driver Verifier 0xC9/0x05: "The IRQL changed during a call to the
        // driver dispatch routine" (device, IRQL before, IRQL after).
        hk::internal::RoutineFrame frame;
        Holding holding(Irp, major, minor, true, location);
        status = dispatch(DeviceObject, Irp);
        const auto what = [&] {
            std::ostringstream text;
            text << "dispatch routine of device " << DeviceObject << " for IRP " << Irp << " (major 0x" << std::hex
                 << int(major) << " minor 0x" << int(minor) << ")";
            return text.str();
        };
        frame.Check(reinterpret_cast<const void *>(dispatch), what, "Driver Verifier 0xC9/0x05");
    }
    if (removing && status != STATUS_PENDING)
        CheckRemoved(DeviceObject, hk::ImageOfAddress(reinterpret_cast<const void *>(dispatch)), Irp);

    std::lock_guard<std::recursive_mutex> hold(hk::internal::BookkeepingLock());
    IrpRecord *record = RecordOf(Irp);
    if (record == nullptr || location >= int(record->locations.size())) return status;
    uint8_t &flags = record->locations[location];
    const std::string image = hk::ImageOfAddress(reinterpret_cast<const void *>(dispatch));
    if (status == STATUS_PENDING) {
        if ((flags & (kWalkedPast | kMarkedPending)) == kWalkedPast) {
            std::ostringstream detail;
            detail << "dispatch routine of device " << DeviceObject << " completed IRP " << Irp
                   << " and then returned STATUS_PENDING without IoMarkIrpPending";
            hk::ReportViolation("IRP_COMPLETED_THEN_PENDING", image, detail.str());
        } else if (!(flags & kWalkedPast)) {
            // Whether it was marked is known once the completion walk
            // leaves this location: a completion routine may mark it.
            flags |= kReturnedPending;
        }
    } else if ((flags & kWalkedPast) && status != record->completedWith[location]) {
        // Driver Verifier 0xC9/0x224: the dispatch routine returned a status
        // other than the one it completed the request with (or that came up
        // to it). The I/O manager's callers believe the return value.
        std::ostringstream detail;
        detail << "dispatch routine of device " << DeviceObject << " returned 0x" << std::hex << ULONG(status)
               << " for IRP " << Irp << " (major 0x" << int(major) << " minor 0x" << int(minor)
               << ") that was completed with 0x" << ULONG(record->completedWith[location])
               << " (Driver Verifier 0xC9/0x224)";
        hk::ReportViolation("IRP_RETURN_STATUS_MISMATCH", image, detail.str());
    }
    return status;
}

// Checks that Windows makes of a request being completed: Driver Verifier
// 0xC9/0x06 "IoCompleteRequest with a status marked as pending (or equal to
// -1)", 0xC9/0x07 "IoCompleteRequest while its cancel routine is still set",
// and 0xC9/0x306 "a driver failed IRP_MN_REMOVE_DEVICE" (a remove cannot be
// refused: the PnP manager goes on with it).
void CheckCompletion(PIRP irp, const std::string &caller)
{
    const NTSTATUS status = irp->IoStatus.Status;
    const PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
    const auto request = [&] {
        std::ostringstream text;
        text << Describe(irp, stack) << " completed with status 0x" << std::hex << ULONG(status);
        return text.str();
    };
    if (status == STATUS_PENDING || ULONG(status) == 0xFFFFFFFFu) {
        hk::ReportViolation("IRP_COMPLETED_WITH_PENDING", caller,
                            request() + ", which is not a final status (Driver Verifier 0xC9/0x06)");
    }
    if (irp->CancelRoutine != nullptr) {
        std::ostringstream detail;
        detail << request() << " while its cancel routine " << reinterpret_cast<const void *>(irp->CancelRoutine)
               << " is still set (Driver Verifier 0xC9/0x07)";
        hk::ReportViolation("IRP_COMPLETED_WITH_CANCEL_ROUTINE", caller, detail.str());
    }
    const bool inStack = stack >= reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) &&
                         stack < reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + irp->StackCount;
    if (inStack && stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE &&
        !NT_SUCCESS(status)) {
        hk::ReportViolation("REMOVE_DEVICE_FAILED", caller,
                            request() + ": IRP_MN_REMOVE_DEVICE must not fail (Driver Verifier 0xC9/0x306)");
    }
}

}  // namespace

PIRP hk::internal::AllocateIrpFor(CCHAR stackSize, const std::string &owner)
{
    const USHORT size = IoSizeOfIrp(stackSize);
    auto *irp = static_cast<PIRP>(std::calloc(1, size));
    if (irp == nullptr) return nullptr;
    {
        std::lock_guard<std::recursive_mutex> hold(hk::internal::BookkeepingLock());
        Irps()[irp].owner = owner;
    }
    InitializeIrp(irp, size, stackSize);
    return irp;
}

namespace hk {
PIRP AllocateManagerIrp(CCHAR stackSize) { return internal::AllocateIrpFor(stackSize, "host"); }
}  // namespace hk

extern "C" {

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota)
{
    UNREFERENCED_PARAMETER(ChargeQuota);
    const void *caller = __builtin_return_address(0);
    hk::internal::CheckIrql(hk::internal::Ddi::IoAllocateIrp, caller);
    const std::string owner = hk::ImageOfAddress(caller);
    if (hk::ShouldFail(hk::Service::Irp, owner)) return nullptr;
    PIRP irp = hk::internal::AllocateIrpFor(StackSize, owner);
    if (irp != nullptr) {
        std::lock_guard<std::recursive_mutex> hold(hk::internal::BookkeepingLock());
        RecordOf(irp)->fromIoAllocateIrp = true;
    }
    return irp;
}

VOID NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) { InitializeIrp(Irp, PacketSize, StackSize); }

VOID NTAPI IoFreeIrp(PIRP Irp)
{
    const void *caller = __builtin_return_address(0);
    hk::internal::CheckIrql(hk::internal::Ddi::IoFreeIrp, caller);
    const std::string image = hk::ImageOfAddress(caller);
    std::lock_guard<std::recursive_mutex> hold(hk::internal::BookkeepingLock());
    const auto call = [&] {
        std::ostringstream text;
        text << "IoFreeIrp(" << Irp << ")";
        return text.str();
    };
    IrpRecord *record = RecordOf(Irp);
    if (record == nullptr) {
        const bool again = Freed().Holds(Irp);
        hk::ReportViolation(again ? "POOL_DOUBLE_FREE" : "POOL_BAD_FREE", image,
                            call() + (again ? ": the IRP was already freed" : ": not an IRP"));
        return;
    }
    if (record->outstanding) {
        hk::ReportViolation("IRP_FREED_IN_USE", image,
                            call() + " while it is still with a driver (sent and not completed)");
        return;
    }
    const std::string owner = record->owner;
    Irps().erase(Irp);
    Freed().Hold(Irp, Irp, Irp->Size, owner);
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    const void *caller = __builtin_return_address(0);
    hk::internal::CheckIrql(hk::internal::Ddi::IoCallDriver, caller);
    return SendToDriver(DeviceObject, Irp, hk::ImageOfAddress(caller), false);
}

}  // extern "C"

NTSTATUS hk::internal::CallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp, const std::string &caller,
                                  bool viaPoCallDriver)
{
    return SendToDriver(DeviceObject, Irp, caller, viaPoCallDriver);
}

extern "C" {

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    const void *callerAddress = __builtin_return_address(0);
    hk::internal::CheckIrql(hk::internal::Ddi::IoCompleteRequest, callerAddress);
    const std::string caller = hk::ImageOfAddress(callerAddress);
    {
        std::lock_guard<std::recursive_mutex> hold(hk::internal::BookkeepingLock());
        IrpRecord *record = RequireRecord(Irp, "IoCompleteRequest", caller, "IRP_DOUBLE_COMPLETION");
        if (record == nullptr) return;
        if (record->finished) {
            hk::ReportViolation("IRP_DOUBLE_COMPLETION", caller,
                                Describe(Irp, Irp->Tail.Overlay.CurrentStackLocation) + " completed again");
            return;
        }
        CheckCompletion(Irp, caller);
        CheckPnpPowerCompletion(Irp, *record, Irp->CurrentLocation, Irp->Tail.Overlay.CurrentStackLocation, caller);
    }

    PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
    const int top = Irp->StackCount + 1;
    for (Irp->CurrentLocation++, Irp->Tail.Overlay.CurrentStackLocation++; Irp->CurrentLocation <= top;
         stack++, Irp->CurrentLocation++, Irp->Tail.Overlay.CurrentStackLocation++) {
        const int location = Irp->CurrentLocation - 1;  // the one |stack| is
        Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
        const PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        const PVOID context = stack->Context;
        const UCHAR control = stack->Control;
        const UCHAR major = stack->MajorFunction, minor = stack->MinorFunction;
        stack->CompletionRoutine = nullptr;
        stack->Context = nullptr;
        stack->Control = 0;
        const NTSTATUS status = Irp->IoStatus.Status;
        {
            std::lock_guard<std::recursive_mutex> hold(hk::internal::BookkeepingLock());
            IrpRecord &record = *RecordOf(Irp);
            record.locations[location] |= kWalkedPast;
            record.completedWith[location] = status;
            CheckPendingMarked(Irp, record, location, stack);
            CheckPowerIrpsStarted(Irp, record, location);
        }

        // The invoke flags decide, not the routine: Windows calls what the
        // location holds, a null routine included.
        const bool invoke = (NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                            (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                            (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL));
        if (!invoke) {
            std::lock_guard<std::recursive_mutex> hold(hk::internal::BookkeepingLock());
            NoteHandedBack(Irp, *RecordOf(Irp));
            // With no routine to decide, pending travels up by itself.
            if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
                Irp->Tail.Overlay.CurrentStackLocation->Control |= SL_PENDING_RETURNED;
                RecordOf(Irp)->locations[Irp->CurrentLocation] |= kMarkedPending;
            }
            continue;
        }
        PDEVICE_OBJECT above =
            Irp->CurrentLocation == top ? nullptr : Irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
        if (routine == nullptr) {
            // IoCompleteRequest calls address zero: an access violation in
            // kernel mode that nothing handles.
            std::ostringstream why;
            why << "KMODE_EXCEPTION_NOT_HANDLED (0xC0000005, 0, 0, 0): IRP " << Irp << " (major 0x" << std::hex
                << int(major) << " minor 0x" << int(minor) << std::dec << ") has invoke flags set but no completion"
                << " routine in stack location " << location << ", set by the driver of device " << above;
            hk::BugCheck(0x1E, why.str());
        }
        {
            // The routine's driver has the IRP back for the time of the call
            // (the one that allocated it may free it there).
            std::lock_guard<std::recursive_mutex> hold(hk::internal::BookkeepingLock());
            RecordOf(Irp)->outstanding = false;
        }
        NTSTATUS verdict;
        const IO_STATUS_BLOCK before = Irp->IoStatus;
        {
            // A completion routine returns at the IRQL it was called at
            // (Driver Verifier 0xC4/0xFA).
            hk::internal::RoutineFrame frame;
            Holding holding(Irp, major, minor, false);
            verdict = routine(above, Irp, context);
            const auto what = [&] {
                std::ostringstream text;
                text << "completion routine of IRP " << Irp << " (major 0x" << std::hex << int(major) << " minor 0x"
                     << int(minor) << ")";
                return text.str();
            };
            frame.Check(reinterpret_cast<const void *>(routine), what, "Driver Verifier 0xC4/0xFA");
        }
        std::lock_guard<std::recursive_mutex> hold(hk::internal::BookkeepingLock());
        IrpRecord *record = RecordOf(Irp);
        // The IRP is the routine's driver's until it returns: what the
        // routine changed is checked, and what the driver has from then on
        // is the status block as it stands.
        if (record != nullptr && (major == IRP_MJ_PNP || major == IRP_MJ_POWER)) {
            CheckChanges(Irp, major, minor, before, above,
                         hk::ImageOfAddress(reinterpret_cast<const void *>(routine)));
            NoteHandedBack(Irp, *record);
        }
        if (verdict == STATUS_MORE_PROCESSING_REQUIRED) return;
        if (record == nullptr) {
            std::ostringstream detail;
            detail << "completion routine freed IRP " << Irp
                   << " without returning STATUS_MORE_PROCESSING_REQUIRED";
            hk::ReportViolation("IRP_FREED_IN_USE", hk::ImageOfAddress(reinterpret_cast<const void *>(routine)),
                                detail.str());
            return;
        }
        record->outstanding = true;
    }

    PKEVENT event;
    {
        std::lock_guard<std::recursive_mutex> hold(hk::internal::BookkeepingLock());
        IrpRecord *record = RecordOf(Irp);
        record->finished = true;
        record->outstanding = false;
        if (Irp->UserIosb != nullptr) *Irp->UserIosb = Irp->IoStatus;
        event = Irp->UserEvent;
    }
    // The waiter may free the IRP as soon as the event is set.
    if (event != nullptr) KeSetEvent(event, PriorityBoost, FALSE);
}

VOID NTAPI hk_IoMarkIrpPending(PIRP Irp)
{
    std::lock_guard<std::recursive_mutex> hold(hk::internal::BookkeepingLock());
    IrpRecord *record = RecordOf(Irp);
    const int location = Irp->CurrentLocation;
    if (record != nullptr && location >= 0 && location < int(record->locations.size())) {
        record->locations[location] |= kMarkedPending;
    }
}

}  // extern "C"

namespace hk::internal {

void NotePowerIrpStarted(PIRP irp)
{
    std::lock_guard<std::recursive_mutex> hold(BookkeepingLock());
    IrpRecord *record = RecordOf(irp);
    if (record == nullptr) return;
    // The caller is the driver whose stack location is current: the one
    // whose dispatch routine runs, or on the way up the one whose completion
    // routine runs. A driver that skipped its location shares it with the
    // one below, so the lowest such driver not yet counted is the caller.
    PowerFrame *caller = nullptr;
    for (PowerFrame &frame : record->powerFrames)
        if (!frame.startedNext && frame.location == irp->CurrentLocation) caller = &frame;
    if (caller != nullptr) caller->startedNext = true;
}

// A request to a device that IoDeleteDevice has been called for. Windows
// still dispatches it while the object lives (delete-pending, referenced);
// no driver sends one there knowingly, so it is reported, and the request
// is not handed to the deleted device's driver, whose extension may lead
// into memory freed meanwhile (a port whose board is gone): it comes back
// as it went, so that the run goes on to report what follows. Once the
// object is freed the call reads freed memory, as on Windows, where what
// follows is chance: the run stops.
bool CheckRequestTarget(PDEVICE_OBJECT device, PIRP irp, const std::string &caller)
{
    using hk::internal::DeviceLife;
    const DeviceLife life = hk::internal::LifeOf(device);
    if (life == DeviceLife::Live || life == DeviceLife::Unknown) return true;
    std::ostringstream detail;
    detail << "IoCallDriver(" << device << ", IRP " << irp << ") to a device ";
    if (life == DeviceLife::DeletePending) {
        hk::ReportViolation("IRP_TO_DELETED_DEVICE", caller, detail.str() + "that IoDeleteDevice was called for");
        return false;
    }
    hk::BugCheck(0x50, "PAGE_FAULT_IN_NONPAGED_AREA (" + Pointer(device) + ", 0, 0, 0): " + caller + " sent " +
                           detail.str() + "already deleted and freed (use after free)");
}

void NoteRemoveLockAcquired(const void *lock, const void *tag)
{
    if (!inHand.empty() && inHand.back().dispatch) inHand.back().locks.push_back(LockUse{lock, tag, false});
}

void NoteRemoveLockReleased(const void *lock, const void *tag)
{
    if (inHand.empty()) return;
    for (LockUse &use : inHand.back().locks) {
        hk::CountWork(hk::Work::HostWalk);
        if (use.lock == lock && use.tag == tag && !use.released) {
            use.released = true;
            return;
        }
    }
}

bool InsidePnpRequest(UCHAR minor)
{
    for (const InHand &request : inHand) {
        hk::CountWork(hk::Work::HostWalk);
        if (request.major == IRP_MJ_PNP && request.minor == minor) return true;
    }
    return false;
}

size_t CheckFreedIrps()
{
    std::lock_guard<std::recursive_mutex> hold(BookkeepingLock());
    return Freed().CheckAll();
}

NTSTATUS NTAPI DefaultDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    UNREFERENCED_PARAMETER(device);
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

size_t ReportIrpsOf(const std::string &image, const std::string &when)
{
    std::lock_guard<std::recursive_mutex> hold(BookkeepingLock());
    size_t count = 0;
    for (auto &[irp, record] : Irps()) {
        if (record.owner != image) continue;
        std::ostringstream detail;
        detail << "IRP " << irp << " from IoAllocateIrp never freed " << when;
        ReportViolation("POOL_LEAK", image, detail.str());
        ++count;
    }
    return count;
}

void ResetIrps()
{
    std::lock_guard<std::recursive_mutex> hold(BookkeepingLock());
    for (auto &entry : Irps()) std::free(entry.first);
    Irps().clear();
    Freed().Clear();
}

}  // namespace hk::internal
