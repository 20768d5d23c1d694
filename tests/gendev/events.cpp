#include "events.h"

#include <wdm.h>

#include <mutex>

namespace stacktest {
namespace {
std::mutex gLock;
std::vector<std::string> gEvents;
}  // namespace

void RecordEvent(const std::string &event)
{
    std::lock_guard<std::mutex> hold(gLock);
    gEvents.push_back(event);
}

std::vector<std::string> Events()
{
    std::lock_guard<std::mutex> hold(gLock);
    return gEvents;
}

void ClearEvents()
{
    std::lock_guard<std::mutex> hold(gLock);
    gEvents.clear();
}

std::vector<std::string> EventsStartingWith(const std::string &prefix)
{
    std::vector<std::string> matching;
    for (const std::string &event : Events())
        if (event.compare(0, prefix.size(), prefix) == 0) matching.push_back(event);
    return matching;
}

std::string PnpMinorName(unsigned char minor)
{
    static const char *const kNames[] = {
        "START_DEVICE", "QUERY_REMOVE_DEVICE", "REMOVE_DEVICE", "CANCEL_REMOVE_DEVICE", "STOP_DEVICE",
        "QUERY_STOP_DEVICE", "CANCEL_STOP_DEVICE", "QUERY_DEVICE_RELATIONS", "QUERY_INTERFACE",
        "QUERY_CAPABILITIES", "QUERY_RESOURCES", "QUERY_RESOURCE_REQUIREMENTS", "QUERY_DEVICE_TEXT",
        "FILTER_RESOURCE_REQUIREMENTS", "0x0E", "READ_CONFIG", "WRITE_CONFIG", "EJECT", "SET_LOCK", "QUERY_ID",
        "QUERY_PNP_DEVICE_STATE", "QUERY_BUS_INFORMATION", "DEVICE_USAGE_NOTIFICATION", "SURPRISE_REMOVAL"};
    if (minor < sizeof(kNames) / sizeof(kNames[0])) return kNames[minor];
    return "minor " + std::to_string(minor);
}

}  // namespace stacktest
