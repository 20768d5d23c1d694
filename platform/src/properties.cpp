/*
 * Device properties and device keys of PDOs: the Plug and Play manager owns
 * the answers (through its hooks); this is the kernel's call path to them.
 */
#include "irql_rules.h"
#include "pnp_hooks.h"
#include "registry_tree.h"

namespace hk {
namespace {

PnpHooks &Hooks()
{
    static PnpHooks hooks;
    return hooks;
}

}  // namespace

void SetPnpHooks(const PnpHooks &hooks)
{
    std::lock_guard<std::recursive_mutex> hold(internal::BookkeepingLock());
    Hooks() = hooks;
}

std::string DeviceParametersPath(const std::string &instancePath)
{
    return "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + instancePath + "\\Device Parameters";
}

namespace internal {

// Services that take a PDO stop the machine on any other device object:
// PNP_DETECTED_FATAL_ERROR 0xCA, parameter 1 = 0x2 "invalid PDO", 2 = the
// object, 3 = its driver object (MSD debugger/bug-check-0xca--pnp-detected-
// fatal-error.md: random memory, an FDO, or a PDO never reported in bus
// relations). Without a manager nothing is known about PDOs, and nothing is
// checked.
void RequirePdo(const PnpHooks &hooks, PDEVICE_OBJECT device, const char *service, const std::string &caller)
{
    if (!hooks.isPdo || hooks.isPdo(device)) return;
    hk::BugCheckEx(0xCA, 0x2, reinterpret_cast<ULONG_PTR>(device),
                   reinterpret_cast<ULONG_PTR>(device ? device->DriverObject : nullptr), 0,
                   std::string("PNP_DETECTED_FATAL_ERROR: ") + service + " called by " + caller +
                       " with a device object that is not a PDO");
}

PnpHooks CurrentPnpHooks()
{
    std::lock_guard<std::recursive_mutex> hold(BookkeepingLock());
    return Hooks();
}

}  // namespace internal
}  // namespace hk

extern "C" {

NTSTATUS NTAPI IoGetDeviceProperty(PDEVICE_OBJECT deviceObject, DEVICE_REGISTRY_PROPERTY deviceProperty,
                                   ULONG bufferLength, PVOID propertyBuffer, PULONG resultLength)
{
    hk::internal::CheckIrql(hk::internal::Ddi::IoGetDeviceProperty, __builtin_return_address(0));
    hk::PnpHooks hooks = hk::internal::CurrentPnpHooks();
    hk::internal::RequirePdo(hooks, deviceObject, "IoGetDeviceProperty", HK_CALLER_IMAGE());
    // DDI iogetdeviceproperty lists STATUS_INVALID_DEVICE_REQUEST among its
    // failures; no driver step has it of its own, so it shows where it went.
    if (hk::ShouldFail(hk::Service::Property, HK_CALLER_IMAGE(), STATUS_INVALID_DEVICE_REQUEST))
        return STATUS_INVALID_DEVICE_REQUEST;
    if (!hooks.getProperty) return STATUS_INVALID_DEVICE_REQUEST;
    return hooks.getProperty(deviceObject, deviceProperty, bufferLength, propertyBuffer, resultLength);
}

NTSTATUS NTAPI IoOpenDeviceRegistryKey(PDEVICE_OBJECT deviceObject, ULONG keyType, ACCESS_MASK,
                                       PHANDLE devInstRegKey)
{
    hk::internal::CheckIrql(hk::internal::Ddi::IoOpenDeviceRegistryKey, __builtin_return_address(0));
    const std::string image = HK_CALLER_IMAGE();
    if (keyType != PLUGPLAY_REGKEY_DEVICE) return STATUS_INVALID_PARAMETER;
    hk::PnpHooks hooks = hk::internal::CurrentPnpHooks();
    hk::internal::RequirePdo(hooks, deviceObject, "IoOpenDeviceRegistryKey", image);
    const std::string instance = hooks.instancePath ? hooks.instancePath(deviceObject) : std::string();
    if (instance.empty()) return STATUS_INVALID_DEVICE_REQUEST;
    // DDI ioopendeviceregistrykey documents STATUS_INVALID_PARAMETER as its failure.
    if (hk::ShouldFail(hk::Service::RegistryOpen, image, STATUS_INVALID_PARAMETER)) return STATUS_INVALID_PARAMETER;

    std::lock_guard<std::recursive_mutex> hold(hk::internal::BookkeepingLock());
    using namespace hk::internal::registry;
    *devInstRegKey = OpenHandle(Create(nullptr, hk::DeviceParametersPath(instance)), image);
    return STATUS_SUCCESS;
}

// Asks the manager to query the relations again, later and on its own
// thread, as Windows queues the request to a worker.
VOID NTAPI IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject, DEVICE_RELATION_TYPE Type)
{
    hk::internal::CheckIrql(hk::internal::Ddi::IoInvalidateDeviceRelations, __builtin_return_address(0));
    hk::PnpHooks hooks = hk::internal::CurrentPnpHooks();
    hk::internal::RequirePdo(hooks, DeviceObject, "IoInvalidateDeviceRelations", HK_CALLER_IMAGE());
    if (hooks.invalidateRelations) hooks.invalidateRelations(DeviceObject, Type);
}

// The same for the device's PnP state: the manager sends
// IRP_MN_QUERY_PNP_DEVICE_STATE to its stack later and acts on the answer.
VOID NTAPI IoInvalidateDeviceState(PDEVICE_OBJECT PhysicalDeviceObject)
{
    hk::internal::CheckIrql(hk::internal::Ddi::IoInvalidateDeviceState, __builtin_return_address(0));
    hk::PnpHooks hooks = hk::internal::CurrentPnpHooks();
    hk::internal::RequirePdo(hooks, PhysicalDeviceObject, "IoInvalidateDeviceState", HK_CALLER_IMAGE());
    if (hooks.invalidateState) hooks.invalidateState(PhysicalDeviceObject);
}

}  // extern "C"
