/*
 * Device objects: creation with an extension, attachment into stacks,
 * references, and deletion that waits for the last reference, as the object
 * manager does. A device is one allocation (object, then extension); its
 * bookkeeping lives in the private DEVOBJ_EXTENSION record.
 */
#include "irql_rules.h"
#include "kernel_core.h"
#include "pnp_hooks.h"
#include "quarantine.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <unordered_map>

// The object manager's private part of a device object.
struct _DEVOBJ_EXTENSION {
    PDEVICE_OBJECT device;
    PDEVICE_OBJECT attachedTo;  // the device below, while attached
    LONG references;            // the object header's pointer count
    bool deletePending;         // IoDeleteDevice called
    size_t extensionSize;
    std::string owner;
    DEVICE_POWER_STATE devicePower;
    SYSTEM_POWER_STATE systemPower;
    // The device whose NextDevice points here (null at the head of the
    // driver's list): deleting one of thousands of devices then needs no walk.
    PDEVICE_OBJECT previous = nullptr;
};

namespace {

constexpr CSHORT kIoTypeDevice = 3;
constexpr unsigned char kDeletedFill = 0xDD;
constexpr size_t kExtensionAlignment = 8;

std::unordered_map<PDEVICE_OBJECT, _DEVOBJ_EXTENSION *> &Devices()
{
    static auto *devices = new std::unordered_map<PDEVICE_OBJECT, _DEVOBJ_EXTENSION *>;
    return *devices;
}

// Device objects freed in this run: their memory is kept (filled, and
// poisoned under the sanitizer, see quarantine.h) so that deleting one again
// is recognised and touches nothing of another, and any use of it shows.
std::unordered_map<PDEVICE_OBJECT, _DEVOBJ_EXTENSION *> &Freed()
{
    static auto *freed = new std::unordered_map<PDEVICE_OBJECT, _DEVOBJ_EXTENSION *>;
    return *freed;
}

size_t ExtensionOffset() { return (sizeof(DEVICE_OBJECT) + kExtensionAlignment - 1) & ~(kExtensionAlignment - 1); }
size_t AllocationSize(const _DEVOBJ_EXTENSION *record) { return ExtensionOffset() + record->extensionSize; }

std::string Named(PDEVICE_OBJECT device)
{
    std::ostringstream text;
    text << "device " << device;
    auto found = Devices().find(device);
    if (found != Devices().end() && device->DriverObject != nullptr) {
        text << " of " << found->second->owner;
    }
    return text.str();
}

std::atomic<bool> walkEveryDevice{false};

_DEVOBJ_EXTENSION *RecordOf(PDEVICE_OBJECT device)
{
    if (walkEveryDevice.load(std::memory_order_relaxed)) {
        _DEVOBJ_EXTENSION *record = nullptr;
        for (const auto &[live, its] : Devices()) {
            hk::CountWork(hk::Work::HostWalk);
            if (live == device) record = its;
        }
        return record;
    }
    auto found = Devices().find(device);
    return found == Devices().end() ? nullptr : found->second;
}

// The top of the stack |device| is in.
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device)
{
    while (device->AttachedDevice != nullptr) {
        hk::CountWork(hk::Work::HostWalk);
        device = device->AttachedDevice;
    }
    return device;
}

void Unlink(PDEVICE_OBJECT device)
{
    PDRIVER_OBJECT driver = device->DriverObject;
    if (driver == nullptr) return;
    _DEVOBJ_EXTENSION *record = RecordOf(device);
    PDEVICE_OBJECT previous = record ? record->previous : nullptr;
    PDEVICE_OBJECT *link = previous ? &previous->NextDevice : &driver->DeviceObject;
    hk::CountWork(hk::Work::DeviceListSearch);
    if (*link != device) {
        // Not where its record says (taken off the list already): look for it.
        for (link = &driver->DeviceObject; *link != nullptr && *link != device; link = &(*link)->NextDevice) {
            hk::CountWork(hk::Work::DeviceListSearch);
        }
    }
    if (*link == device) {
        *link = device->NextDevice;
        previous = link == &driver->DeviceObject
                       ? nullptr
                       : reinterpret_cast<PDEVICE_OBJECT>(reinterpret_cast<char *>(link) -
                                                          offsetof(DEVICE_OBJECT, NextDevice));
        if (_DEVOBJ_EXTENSION *next = device->NextDevice ? RecordOf(device->NextDevice) : nullptr)
            next->previous = previous;
    }
    if (record) record->previous = nullptr;
    device->NextDevice = nullptr;
}

// The storage goes once the device is deleted, unreferenced and no longer
// the target of a device attached above it.
void FreeIfUnused(PDEVICE_OBJECT device)
{
    _DEVOBJ_EXTENSION *record = RecordOf(device);
    if (record == nullptr || !record->deletePending || record->references > 0 || device->AttachedDevice != nullptr) {
        return;
    }
    if (record->extensionSize != 0) hk::internal::ForgetRemoveLocksIn(device->DeviceExtension, record->extensionSize);
    hk::internal::MarkFreed(device, AllocationSize(record), kDeletedFill);
    Devices().erase(device);
    Freed()[device] = record;
}

}  // namespace

extern "C" {

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                              DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT *DeviceObject)
{
    UNREFERENCED_PARAMETER(DeviceName);
    hk::internal::CheckIrql(hk::internal::Ddi::IoCreateDevice, __builtin_return_address(0));
    const std::string owner = hk::ImageOfAddress(__builtin_return_address(0));
    *DeviceObject = nullptr;
    // DDI iocreatedevice: STATUS_OBJECT_NAME_COLLISION and _EXISTS need a name;
    // an unnamed device can only lack the memory for its object.
    if (hk::ShouldFail(hk::Service::CreateDevice, owner, STATUS_INSUFFICIENT_RESOURCES))
        return STATUS_INSUFFICIENT_RESOURCES;

    auto *device = static_cast<PDEVICE_OBJECT>(std::calloc(1, ExtensionOffset() + DeviceExtensionSize));
    if (device == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    auto *record = new _DEVOBJ_EXTENSION{device, nullptr, 1, false, DeviceExtensionSize, owner,
                                         PowerDeviceUnspecified, PowerSystemUnspecified};
    device->Type = kIoTypeDevice;
    device->Size = USHORT(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
    device->DriverObject = DriverObject;
    device->DeviceExtension = DeviceExtensionSize ? reinterpret_cast<char *>(device) + ExtensionOffset() : nullptr;
    device->DeviceType = DeviceType;
    device->Characteristics = DeviceCharacteristics;
    device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0);
    device->StackSize = 1;
    device->DeviceObjectExtension = record;
    KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);

    std::lock_guard<std::recursive_mutex> hold(hk::internal::BookkeepingLock());
    Devices()[device] = record;
    device->NextDevice = DriverObject->DeviceObject;
    if (_DEVOBJ_EXTENSION *next = device->NextDevice ? RecordOf(device->NextDevice) : nullptr) next->previous = device;
    DriverObject->DeviceObject = device;
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    hk::internal::CheckIrql(hk::internal::Ddi::IoDeleteDevice, __builtin_return_address(0));
    const std::string image = hk::ImageOfAddress(__builtin_return_address(0));
    // Driver Verifier 0xC9/0x221: "An IRP dispatch handler for a PDO has
    // deleted its device object, but the hardware has not been reported as
    // missing in a bus relations query". A bus driver deletes a child at the
    // child's own IRP_MN_REMOVE_DEVICE, or later; while the PnP manager
    // still holds the node and has not sent that request, the stack above
    // lives on a device that is gone. Asked before the kernel's lock: the
    // manager answers from its own tables.
    const hk::PnpHooks hooks = hk::internal::CurrentPnpHooks();
    if (hooks.awaitingRemoval && hooks.awaitingRemoval(DeviceObject)) {
        std::ostringstream detail;
        detail << "IoDeleteDevice(" << DeviceObject << ") of a PDO whose device node "
               << (hooks.instancePath ? hooks.instancePath(DeviceObject) : std::string())
               << " has not had its IRP_MN_REMOVE_DEVICE (Driver Verifier 0xC9/0x221)";
        hk::ReportViolation("PDO_DELETED_BEFORE_REMOVAL", image, detail.str());
    }
    std::lock_guard<std::recursive_mutex> hold(hk::internal::BookkeepingLock());
    _DEVOBJ_EXTENSION *record = RecordOf(DeviceObject);
    if (record == nullptr || record->deletePending) {
        std::ostringstream detail;
        detail << "IoDeleteDevice(" << DeviceObject << ") on "
               << (record != nullptr || Freed().count(DeviceObject) ? "a device already deleted" : "no live device");
        hk::ReportViolation("DEVICE_DELETED_TWICE", image, detail.str());
        return;
    }
    // A device still attached above is normal in removal: each driver passes
    // the remove down before it detaches and deletes, so the one below goes
    // first. Its memory stays until the one above has detached.
    if (record->attachedTo != nullptr) {
        std::ostringstream detail;
        detail << "IoDeleteDevice(" << DeviceObject << ") while still attached to " << Named(record->attachedTo)
               << " below it: IoDetachDevice was not called";
        hk::ReportViolation("DEVICE_DELETED_WHILE_ATTACHED", image, detail.str());
        // Contained: the stack below must not keep a pointer to freed memory.
        PDEVICE_OBJECT lower = record->attachedTo;
        lower->AttachedDevice = nullptr;
        record->attachedTo = nullptr;
        FreeIfUnused(lower);
    }
    // The device stays until IRP_MN_REMOVE_DEVICE: Driver Verifier 0xC9/0x242
    // "deleted its device object during IRP_MN_SURPRISE_REMOVAL" (the PnP
    // manager still sends the remove to it).
    if (hk::internal::InsidePnpRequest(IRP_MN_SURPRISE_REMOVAL)) {
        std::ostringstream detail;
        detail << "IoDeleteDevice(" << DeviceObject << ") while processing IRP_MN_SURPRISE_REMOVAL"
               << " (Driver Verifier 0xC9/0x242)";
        hk::ReportViolation("DEVICE_DELETED_IN_SURPRISE_REMOVAL", image, detail.str());
    }
    // A remove lock in the extension still held: its holder goes on using a
    // device that is going away. Release-and-wait exists to prevent it
    // (DDI IoReleaseRemoveLockAndWait: called in IRP_MN_REMOVE_DEVICE before
    // the driver detaches and deletes its device; Static Driver Verifier:
    // acquisitions and releases in pairs).
    if (record->extensionSize != 0) {
        const std::string held = hk::internal::RemoveLocksHeldIn(DeviceObject->DeviceExtension, record->extensionSize);
        if (!held.empty()) {
            std::ostringstream detail;
            detail << "IoDeleteDevice(" << DeviceObject << ") while its remove lock is still held: " << held;
            hk::ReportViolation("REMOVE_LOCK_HELD_AT_DELETE", image, detail.str());
        }
    }
    Unlink(DeviceObject);
    record->deletePending = true;
    --record->references;  // the creation reference
    FreeIfUnused(DeviceObject);
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice)
{
    hk::internal::CheckIrql(hk::internal::Ddi::IoAttachDeviceToDeviceStack, __builtin_return_address(0));
    if (hk::ShouldFail(hk::Service::Attach, hk::ImageOfAddress(__builtin_return_address(0)))) return nullptr;
    std::lock_guard<std::recursive_mutex> hold(hk::internal::BookkeepingLock());
    PDEVICE_OBJECT top = TopOfStack(TargetDevice);
    _DEVOBJ_EXTENSION *topRecord = RecordOf(top);
    _DEVOBJ_EXTENSION *source = RecordOf(SourceDevice);
    // A stack that is being torn down takes no new devices, nor one whose top
    // device is still being set up: its driver has not cleared
    // DO_DEVICE_INITIALIZING yet (DDI nf-wdm-ioattachdevicetodevicestack:
    // NULL when it cannot attach; ReactOS ntoskrnl/io/iomgr/device.c
    // IopAttachDeviceToDeviceStackSafe refuses such a top device).
    if (topRecord == nullptr || topRecord->deletePending || source == nullptr) return nullptr;
    if (top->Flags & DO_DEVICE_INITIALIZING) return nullptr;

    top->AttachedDevice = SourceDevice;
    source->attachedTo = top;
    SourceDevice->StackSize = CCHAR(top->StackSize + 1);
    SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
    SourceDevice->SectorSize = top->SectorSize;
    return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    const void *caller = __builtin_return_address(0);
    hk::internal::CheckIrql(hk::internal::Ddi::IoDetachDevice, caller);
    const std::string image = hk::ImageOfAddress(caller);
    std::lock_guard<std::recursive_mutex> hold(hk::internal::BookkeepingLock());
    PDEVICE_OBJECT above = TargetDevice->AttachedDevice;
    if (above == nullptr) {
        // Windows follows TargetDevice->AttachedDevice without a check (ReactOS
        // io/iomgr/device.c IoDetachDevice faults there); Driver Verifier
        // stops first with 0xC9/0x202 (detach from a device with nothing
        // attached).
        std::ostringstream why;
        why << "DRIVER_VERIFIER_IOMANAGER_VIOLATION (0x202, " << TargetDevice << ", 0, 0): " << image
            << " called IoDetachDevice(" << TargetDevice << ") on a device with nothing attached to it"
            << " (IoDetachDevice takes the device below, not the caller's own)";
        hk::BugCheck(0xC9, why.str());
    }
    // Driver Verifier 0xC9/0x241: "detached its device object during
    // IRP_MN_SURPRISE_REMOVAL"; the stack stays until IRP_MN_REMOVE_DEVICE.
    if (hk::internal::InsidePnpRequest(IRP_MN_SURPRISE_REMOVAL)) {
        std::ostringstream detail;
        detail << "IoDetachDevice(" << TargetDevice << ") while processing IRP_MN_SURPRISE_REMOVAL"
               << " (Driver Verifier 0xC9/0x241)";
        hk::ReportViolation("DEVICE_DETACHED_IN_SURPRISE_REMOVAL", image, detail.str());
    }
    if (_DEVOBJ_EXTENSION *record = RecordOf(above)) record->attachedTo = nullptr;
    TargetDevice->AttachedDevice = nullptr;
    FreeIfUnused(TargetDevice);
}

PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject)
{
    hk::internal::CheckIrql(hk::internal::Ddi::IoGetAttachedDeviceReference, __builtin_return_address(0));
    std::lock_guard<std::recursive_mutex> hold(hk::internal::BookkeepingLock());
    PDEVICE_OBJECT top = TopOfStack(DeviceObject);
    ObfReferenceObject(top);
    return top;
}

LONG_PTR FASTCALL ObfReferenceObject(PVOID Object)
{
    hk::internal::CheckIrql(hk::internal::Ddi::ObReferenceObject, __builtin_return_address(0));
    std::lock_guard<std::recursive_mutex> hold(hk::internal::BookkeepingLock());
    _DEVOBJ_EXTENSION *record = RecordOf(static_cast<PDEVICE_OBJECT>(Object));
    if (record == nullptr) {
        std::ostringstream why;
        why << "REFERENCE_BY_POINTER (0, " << Object << ", 0, 0): ObReferenceObject(" << Object << ") by " << hk::ImageOfAddress(__builtin_return_address(0))
            << ": not a live object";
        hk::BugCheck(0x18, why.str());
    }
    return ++record->references;
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object)
{
    hk::internal::CheckIrql(hk::internal::Ddi::ObDereferenceObject, __builtin_return_address(0));
    std::lock_guard<std::recursive_mutex> hold(hk::internal::BookkeepingLock());
    auto *device = static_cast<PDEVICE_OBJECT>(Object);
    _DEVOBJ_EXTENSION *record = RecordOf(device);
    if (record == nullptr || record->references <= 0) {
        std::ostringstream why;
        why << "REFERENCE_BY_POINTER (0, " << Object << ", 0, 0): ObDereferenceObject(" << Object << ") by " << hk::ImageOfAddress(__builtin_return_address(0))
            << ": " << (record == nullptr ? "not a live object" : "no reference left to release");
        hk::BugCheck(0x18, why.str());
    }
    const LONG left = --record->references;
    FreeIfUnused(device);
    return left;
}

}  // extern "C"

namespace hk {

void WalkEveryDeviceForTest(bool on) { walkEveryDevice.store(on, std::memory_order_relaxed); }

PDEVICE_OBJECT LowerDeviceOf(PDEVICE_OBJECT device)
{
    std::lock_guard<std::recursive_mutex> hold(internal::BookkeepingLock());
    _DEVOBJ_EXTENSION *record = RecordOf(device);
    return record ? record->attachedTo : nullptr;
}

// A filter is invisible to the drivers above it: it takes on the power
// pageability, the I/O method and the device type of the device it attached
// to (MSD debugger/bug-check-0xc9--driver-verifier-iomanager-violation.md;
// kernel/setting-device-object-flags-for-power-management.md: once a lower
// device is pageable, every device above it is). A filter may be pageable
// above a device that is not; the rule goes one way only.
void CheckFilterAdded(const std::string &service, PDEVICE_OBJECT filter)
{
    PDEVICE_OBJECT lower = LowerDeviceOf(filter);
    if (lower == nullptr) return;
    std::ostringstream what;
    what << "filter device " << filter << " over device " << lower;
    const ULONG io = DO_BUFFERED_IO | DO_DIRECT_IO;
    if ((lower->Flags & DO_POWER_PAGABLE) && !(filter->Flags & DO_POWER_PAGABLE))
        ReportViolation("POWER_PAGABLE_NOT_INHERITED", service,
                        what.str() + " lacks the DO_POWER_PAGABLE of the device below (Driver Verifier 0xC9/0x23F)");
    if ((filter->Flags & io) == io)
        ReportViolation("IO_FLAGS_BOTH_SET", service,
                        what.str() + " has both DO_BUFFERED_IO and DO_DIRECT_IO (Driver Verifier 0xC9/0x245)");
    else if ((filter->Flags & io) != (lower->Flags & io))
        ReportViolation("IO_FLAGS_NOT_COPIED", service,
                        what.str() + " did not copy DO_BUFFERED_IO / DO_DIRECT_IO from the device below"
                                     " (Driver Verifier 0xC9/0x244)");
    if (filter->DeviceType != lower->DeviceType)
        ReportViolation("DEVICE_TYPE_NOT_COPIED", service,
                        what.str() + " did not copy DeviceType from the device below (Driver Verifier 0xC9/0x246)");
}

bool IsDeletePending(PDEVICE_OBJECT device)
{
    std::lock_guard<std::recursive_mutex> hold(internal::BookkeepingLock());
    _DEVOBJ_EXTENSION *record = RecordOf(device);
    return record != nullptr && record->deletePending;
}

size_t LiveDeviceCount()
{
    std::lock_guard<std::recursive_mutex> hold(internal::BookkeepingLock());
    return Devices().size();
}

std::vector<LiveDevice> LiveDevices()
{
    std::lock_guard<std::recursive_mutex> hold(internal::BookkeepingLock());
    std::vector<LiveDevice> live;
    for (const auto &entry : Devices())
        live.push_back(LiveDevice{entry.second->owner, entry.second->deletePending, entry.second->references});
    return live;
}

DEVICE_POWER_STATE DevicePowerStateOf(PDEVICE_OBJECT device)
{
    std::lock_guard<std::recursive_mutex> hold(internal::BookkeepingLock());
    _DEVOBJ_EXTENSION *record = RecordOf(device);
    return record ? record->devicePower : PowerDeviceUnspecified;
}

namespace internal {

POWER_STATE SwapPowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type, POWER_STATE state)
{
    std::lock_guard<std::recursive_mutex> hold(BookkeepingLock());
    POWER_STATE old{};
    if (_DEVOBJ_EXTENSION *record = RecordOf(device)) {
        if (type == DevicePowerState) {
            old.DeviceState = record->devicePower;
            record->devicePower = state.DeviceState;
        } else {
            old.SystemState = record->systemPower;
            record->systemPower = state.SystemState;
        }
    }
    return old;
}

DeviceLife LifeOf(PDEVICE_OBJECT device)
{
    std::lock_guard<std::recursive_mutex> hold(BookkeepingLock());
    if (_DEVOBJ_EXTENSION *record = RecordOf(device)) {
        return record->deletePending ? DeviceLife::DeletePending : DeviceLife::Live;
    }
    return Freed().count(device) != 0 ? DeviceLife::Freed : DeviceLife::Unknown;
}

bool InFreedDevice(const void *address)
{
    std::lock_guard<std::recursive_mutex> hold(BookkeepingLock());
    const auto *at = static_cast<const char *>(address);
    for (const auto &[device, record] : Freed()) {
        const auto *begin = reinterpret_cast<const char *>(device);
        if (at >= begin && at < begin + AllocationSize(record)) return true;
    }
    return false;
}

size_t CheckFreedDevices()
{
    std::lock_guard<std::recursive_mutex> hold(BookkeepingLock());
    size_t written = 0;
    for (auto &[device, record] : Freed()) {
        const size_t size = AllocationSize(record);
        if (!TakeBackFreed(device, size, kDeletedFill, record->owner, "deleted device object")) {
            ++written;
            std::memset(device, kDeletedFill, size);  // reported once
        }
        HK_POISON(device, size);
    }
    return written;
}

size_t RetireDevicesOf(PDRIVER_OBJECT driver, const std::string &image)
{
    std::lock_guard<std::recursive_mutex> hold(BookkeepingLock());
    size_t count = 0;
    while (PDEVICE_OBJECT device = driver->DeviceObject) {
        std::ostringstream detail;
        detail << "device " << device << " still exists when " << image << " is unloaded";
        ReportViolation("DEVICE_LEAK", image, detail.str());
        Unlink(device);
        ++count;
    }
    return count;
}

void ResetObjects()
{
    ResetIrps();
    std::lock_guard<std::recursive_mutex> hold(BookkeepingLock());
    for (auto &[device, record] : Freed()) HK_UNPOISON(device, AllocationSize(record));
    for (auto *table : {&Devices(), &Freed()}) {
        for (auto &[device, record] : *table) {
            delete record;
            std::free(device);
        }
        table->clear();
    }
}

}  // namespace internal
}  // namespace hk
