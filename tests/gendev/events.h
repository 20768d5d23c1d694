// One ordered record of what the drivers of a test stack saw and did, across
// threads: "lower:START_DEVICE", "StartDevice", ...
#pragma once

#include <string>
#include <vector>

namespace stacktest {

void RecordEvent(const std::string &event);
std::vector<std::string> Events();
void ClearEvents();
// Events that begin with |prefix|, in order.
std::vector<std::string> EventsStartingWith(const std::string &prefix);
// Name of a PnP minor code, "START_DEVICE" for IRP_MN_START_DEVICE.
std::string PnpMinorName(unsigned char minor);

}  // namespace stacktest
