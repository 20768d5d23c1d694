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
    if (hk::ShouldFail(hk::Service::Property)) return STATUS_INSUFFICIENT_RESOURCES;
    hk::PnpHooks hooks = hk::internal::CurrentPnpHooks();
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
    const std::string instance = hooks.instancePath ? hooks.instancePath(deviceObject) : std::string();
    if (instance.empty()) return STATUS_INVALID_DEVICE_REQUEST;
    if (hk::ShouldFail(hk::Service::RegistryOpen)) return STATUS_INSUFFICIENT_RESOURCES;

    std::lock_guard<std::recursive_mutex> hold(hk::internal::BookkeepingLock());
    using namespace hk::internal::registry;
    *devInstRegKey = OpenHandle(Create(nullptr, hk::DeviceParametersPath(instance)), image);
    return STATUS_SUCCESS;
}

}  // extern "C"
