/*
 * Fault injection: each fallible service asks ShouldFail on entry, which
 * counts the call and says whether a plan (the n-th call of one service, or
 * the n-th fallible call of any service) picks it. Aimed at some images, it
 * neither counts nor fails the calls of any other.
 */
#include "internal.h"

#include <execinfo.h>

#include <algorithm>
#include <array>
#include <mutex>

namespace {

constexpr size_t kServices = size_t(hk::Service::Count);

struct Plan {
    std::array<unsigned, kServices> calls{};
    std::array<unsigned, kServices> failAt{};  // 0: never
    unsigned totalCalls = 0;
    unsigned failOverallAt = 0;
    std::vector<std::string> aim;  // empty: every image
    std::vector<hk::FallibleCall> counted;
    std::vector<std::string> failedStack;
    NTSTATUS failedStatus = STATUS_SUCCESS;
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

void AimFaultsAt(const std::vector<std::string> &images)
{
    std::lock_guard<std::mutex> hold(PlanLock());
    Current().aim = images;
}

std::vector<FallibleCall> CountedCalls()
{
    std::lock_guard<std::mutex> hold(PlanLock());
    return Current().counted;
}

std::vector<std::string> FailedCallStack()
{
    std::lock_guard<std::mutex> hold(PlanLock());
    return Current().failedStack;
}

NTSTATUS FailedCallStatus()
{
    std::lock_guard<std::mutex> hold(PlanLock());
    return Current().failedStatus;
}

bool ShouldFail(Service s, const std::string &image, NTSTATUS reported)
{
    std::unique_lock<std::mutex> hold(PlanLock());
    Plan &plan = Current();
    if (!plan.aim.empty() && std::find(plan.aim.begin(), plan.aim.end(), image) == plan.aim.end()) return false;
    const unsigned call = ++plan.calls[size_t(s)];
    const unsigned overall = ++plan.totalCalls;
    plan.counted.push_back(FallibleCall{s, image});
    const bool fail = call == plan.failAt[size_t(s)] || overall == plan.failOverallAt;
    if (!fail) return false;
    hold.unlock();
    // The driver routines between the service and the kernel that called
    // the driver, named while their images are loaded.
    void *frames[64];
    const int depth = backtrace(frames, 64);
    std::vector<std::string> stack;
    for (int i = 1; i < depth; ++i) {
        const std::string owner = ImageOfAddress(frames[i]);
        if (owner == "host") continue;
        // A return address lies past its call; step back into the call.
        const std::string routine = internal::RoutineAt(static_cast<char *>(frames[i]) - 1);
        stack.push_back(owner + "!" + (routine.empty() ? "?" : routine));
    }
    hold.lock();
    plan.failedStack = stack;
    plan.failedStatus = reported;
    return true;
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
