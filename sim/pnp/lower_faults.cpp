#include "lower_faults.h"

#include <algorithm>
#include <map>
#include <mutex>

namespace sim {

namespace {

const UCHAR kFailable[] = {
    IRP_MN_START_DEVICE,         IRP_MN_QUERY_STOP_DEVICE,     IRP_MN_QUERY_REMOVE_DEVICE,
    IRP_MN_QUERY_CAPABILITIES,   IRP_MN_QUERY_RESOURCES,       IRP_MN_QUERY_RESOURCE_REQUIREMENTS,
    IRP_MN_QUERY_DEVICE_TEXT,    IRP_MN_FILTER_RESOURCE_REQUIREMENTS, IRP_MN_QUERY_ID,
    IRP_MN_QUERY_PNP_DEVICE_STATE, IRP_MN_QUERY_BUS_INFORMATION,
};

struct Plan {
    std::mutex lock;
    std::string driver;
    unsigned failAt = 0;
    bool failed = false;
    std::map<std::string, unsigned> counted;
    std::map<std::pair<std::string, PDEVICE_OBJECT>, unsigned> devices;
    std::map<std::string, unsigned> devicesSeen;  // per driver: how many of |devices| are its
    std::vector<LowerRequest> requests;
};

Plan &Current()
{
    static auto *plan = new Plan;
    return *plan;
}

}  // namespace

void FailLowerRequest(const std::string &driver, unsigned n)
{
    std::lock_guard<std::mutex> hold(Current().lock);
    Current().driver = driver;
    Current().failAt = n;
}

void ResetLowerFaults()
{
    Plan &plan = Current();
    std::lock_guard<std::mutex> hold(plan.lock);
    plan.driver.clear();
    plan.failAt = 0;
    plan.failed = false;
    plan.counted.clear();
    plan.devices.clear();
    plan.devicesSeen.clear();
    plan.requests.clear();
}

std::vector<LowerRequest> LowerRequests()
{
    std::lock_guard<std::mutex> hold(Current().lock);
    return Current().requests;
}

bool LowerRequestFailed()
{
    std::lock_guard<std::mutex> hold(Current().lock);
    return Current().failed;
}

bool LowerDriverFails(const char *driver, PDEVICE_OBJECT device, PIRP irp)
{
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction != IRP_MJ_PNP) return false;
    if (std::find(std::begin(kFailable), std::end(kFailable), stack->MinorFunction) == std::end(kFailable))
        return false;
    Plan &plan = Current();
    std::lock_guard<std::mutex> hold(plan.lock);
    // Devices are told apart by the order the driver first saw them in,
    // which a run repeats, unlike their addresses.
    std::map<std::pair<std::string, PDEVICE_OBJECT>, unsigned>::iterator known =
        plan.devices.find({driver, device});
    if (known == plan.devices.end())
        known = plan.devices.emplace(std::make_pair(std::string(driver), device), plan.devicesSeen[driver]++).first;
    plan.requests.push_back(LowerRequest{driver, stack->MinorFunction, known->second});
    const unsigned n = ++plan.counted[driver];
    if (plan.driver != driver || n != plan.failAt) return false;
    plan.failed = true;
    return true;
}

}  // namespace sim
