/*
 * Counters of what the host did (see hk::Work). Completions run on other
 * threads, so each counter is atomic; they only ever grow until the kernel
 * is reset.
 */
#include "internal.h"

#include <atomic>

namespace {

std::atomic<uint64_t> counts[size_t(hk::Work::Count)];

constexpr const char *kNames[] = {
    "kernel calls", "requests dispatched", "pool allocations", "node search steps",
    "range search steps", "registry key search steps", "device list search steps", "registry value search steps",
    "host walk steps",
};
static_assert(sizeof(kNames) / sizeof(kNames[0]) == size_t(hk::Work::Count), "one name per counter");

}  // namespace

namespace hk {

void CountWork(Work what, uint64_t steps) { counts[size_t(what)].fetch_add(steps, std::memory_order_relaxed); }

uint64_t WorkDone(Work what) { return counts[size_t(what)].load(std::memory_order_relaxed); }

const char *WorkName(Work what) { return kNames[size_t(what)]; }

namespace internal {

void ResetWorkCounts()
{
    for (auto &count : counts) count.store(0, std::memory_order_relaxed);
}

}  // namespace internal
}  // namespace hk
