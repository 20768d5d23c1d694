/*
 * The registry as the Plug and Play manager keeps it: a service key per
 * driver and a hardware key per device instance under Enum.
 */
#pragma once

#include "pnp_types.h"

#include <string>
#include <vector>

namespace sim {

extern const char kServicesPath[];  // "\Registry\Machine\System\CurrentControlSet\Services"
extern const char kEnumPath[];      // "\Registry\Machine\System\CurrentControlSet\Enum"

std::string HardwareKeyPath(const std::string &instancePath);

// HardwareID, CompatibleIDs, DeviceDesc, LocationInformation of a new node.
void WriteHardwareKey(const DeviceNode &node);
// Service, UpperFilters, LowerFilters once the node is bound.
void WriteDriverValues(const DeviceNode &node);
// Type, Start, ErrorControl and, for an image, ImagePath.
void WriteServiceKey(const std::string &service, bool hasImage);

std::vector<uint8_t> StringValue(const std::string &text);                // REG_SZ data
std::vector<uint8_t> MultiStringValue(const std::vector<std::string> &texts);  // REG_MULTI_SZ data

}  // namespace sim
