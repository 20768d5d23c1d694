/*
 * The rules the Plug and Play manager holds a bus driver's IDs to, and the
 * instance path it builds from them.
 */
#pragma once

#include <hk/host.h>

#include <string>

namespace sim {

// Checks an answer to IRP_MN_QUERY_ID in the buffer the bus driver handed
// up (a string, or a multi-string for hardware and compatible IDs) and
// rewrites each space in it to '_', as the PnP manager does. An ID Windows
// refuses stops the machine: bug check 0xCA/0x3 with the PDO, the buffer and
// the ID type (1 device ID, 2 instance ID, 3 hardware IDs, 4 compatible IDs).
void ValidateIdAnswer(PDEVICE_OBJECT pdo, PWSTR answer, BUS_QUERY_ID_TYPE type);

// The prefix a child without UniqueID gets from its parent, kept as the
// parent's "ParentIdPrefix" value under its Enum key (created on first use):
// "<parent level>&<CRC-32 of the parent's instance path>", in hex.
std::string ParentIdPrefix(const std::string &parentInstancePath, unsigned parentLevel);

// "<device ID>\<prefix>&<instance ID>"; the '&' only when both are there.
std::string InstancePathOf(const std::string &deviceId, const std::string &prefix, const std::string &instanceId);

}  // namespace sim
