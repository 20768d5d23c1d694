/*
 * IoGetDeviceProperty, answered from the device nodes. A property the node
 * has no value for is STATUS_OBJECT_NAME_NOT_FOUND, as on Windows (for
 * instance the legacy bus type of a root-enumerated device); a buffer too
 * small gives STATUS_BUFFER_TOO_SMALL with the size needed.
 */
#include "pnp_manager.h"
#include "pnp_registry.h"

#include <cstdio>
#include <cstring>

namespace sim {

namespace {

std::vector<uint8_t> DwordValue(ULONG value)
{
    std::vector<uint8_t> bytes(sizeof(ULONG));
    std::memcpy(bytes.data(), &value, sizeof(ULONG));
    return bytes;
}

}  // namespace

NTSTATUS PnpManager::GetProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property, ULONG length, PVOID buffer,
                                 PULONG resultLength) const
{
    const DeviceNode *node = NodeOf(pdo);
    if (!node) return STATUS_INVALID_DEVICE_REQUEST;  // not a PDO the manager enumerated

    std::vector<uint8_t> value;
    bool present = true;
    switch (property) {
    case DevicePropertyDeviceDescription:
        present = node->hasDescription;
        value = StringValue(node->description);
        break;
    case DevicePropertyHardwareID: value = MultiStringValue(node->hardwareIds); break;
    case DevicePropertyCompatibleIDs:
        present = !node->compatibleIds.empty();
        value = MultiStringValue(node->compatibleIds);
        break;
    case DevicePropertyLocationInformation:
        present = node->hasLocation;
        value = StringValue(node->location);
        break;
    case DevicePropertyLegacyBusType:
        present = node->hasLegacyBusType;
        value = DwordValue(ULONG(node->legacyBusType));
        break;
    case DevicePropertyBusNumber:
        present = node->hasLegacyBusType;
        value = DwordValue(0);
        break;
    case DevicePropertyEnumeratorName: value = StringValue(node->enumerator); break;
    case DevicePropertyAddress:
        present = node->capabilities.Address != 0xFFFFFFFF;
        value = DwordValue(node->capabilities.Address);
        break;
    case DevicePropertyUINumber:
        present = node->capabilities.UINumber != 0xFFFFFFFF;
        value = DwordValue(node->capabilities.UINumber);
        break;
    case DevicePropertyPhysicalDeviceObjectName: {
        size_t index = 0;
        while (index < nodes_.size() && nodes_[index].get() != node) {
            hk::CountWork(hk::Work::NodeSearch);
            ++index;
        }
        char name[32];
        std::snprintf(name, sizeof(name), "\\Device\\%08zx", index + 1);
        value = StringValue(name);
        break;
    }
    case DevicePropertyBootConfiguration:
    case DevicePropertyBootConfigurationTranslated:
    case DevicePropertyClassName:
    case DevicePropertyClassGuid:
    case DevicePropertyDriverKeyName:
    case DevicePropertyManufacturer:
    case DevicePropertyFriendlyName:
    case DevicePropertyBusTypeGuid:
    case DevicePropertyInstallState:
    case DevicePropertyRemovalPolicy: present = false; break;
    default: return STATUS_INVALID_PARAMETER;
    }
    if (!present) return STATUS_OBJECT_NAME_NOT_FOUND;

    if (resultLength) *resultLength = ULONG(value.size());
    if (length < value.size() || !buffer) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(buffer, value.data(), value.size());
    return STATUS_SUCCESS;
}

}  // namespace sim
