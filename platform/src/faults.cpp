/*
 * Fault injection: each fallible service asks ShouldFail on entry, which
 * counts the call and says whether a plan (the n-th call of one service, or
 * the n-th fallible call of any service) picks it.
 */
#include "internal.h"

#include <array>
#include <mutex>

namespace {

constexpr size_t kServices = size_t(hk::Service::Count);

struct Plan {
    std::array<unsigned, kServices> calls{};
    std::array<unsigned, kServices> failAt{};  // 0: never
    unsigned totalCalls = 0;
    unsigned failOverallAt = 0;
};

std::mutex &PlanLock()
{
    static auto *lock = new std::mutex;
    return *lock;
}

Plan &Current()
{
    static Plan plan;
    return plan;
}

constexpr const char *kNames[kServices] = {
    "Pool", "Irp", "CreateDevice", "Attach", "MapIoSpace", "RegistryOpen", "RegistryRead", "RegistryWrite",
    "Property",
};

}  // namespace

namespace hk {

const char *ServiceName(Service s)
{
    const size_t index = size_t(s);
    return index < kServices ? kNames[index] : "?";
}

void FailNthCall(Service s, unsigned n)
{
    std::lock_guard<std::mutex> hold(PlanLock());
    Current().failAt[size_t(s)] = n;
}

void FailNthCallOverall(unsigned n)
{
    std::lock_guard<std::mutex> hold(PlanLock());
    Current().failOverallAt = n;
}

void ResetFaults()
{
    std::lock_guard<std::mutex> hold(PlanLock());
    Current() = Plan{};
}

unsigned CallCount(Service s)
{
    std::lock_guard<std::mutex> hold(PlanLock());
    return Current().calls[size_t(s)];
}

unsigned TotalCallCount()
{
    std::lock_guard<std::mutex> hold(PlanLock());
    return Current().totalCalls;
}

bool ShouldFail(Service s)
{
    std::lock_guard<std::mutex> hold(PlanLock());
    Plan &plan = Current();
    const unsigned call = ++plan.calls[size_t(s)];
    const unsigned overall = ++plan.totalCalls;
    return call == plan.failAt[size_t(s)] || overall == plan.failOverallAt;
}

void Sweep(const std::function<void()> &scenario, const std::function<void(unsigned failingCall)> &check)
{
    ResetFaults();
    scenario();
    const unsigned calls = TotalCallCount();
    check(0);
    for (unsigned failing = 1; failing <= calls; ++failing) {
        ResetFaults();
        FailNthCallOverall(failing);
        scenario();
        check(failing);
    }
    ResetFaults();
}

}  // namespace hk
