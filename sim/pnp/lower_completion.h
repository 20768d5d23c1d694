/*
 * How the simulated lower drivers (the PCI, PCMCIA and root buses, and the
 * tests' own bus drivers) complete the requests that end at their PDOs. On
 * Windows a bus driver may complete at DISPATCH_LEVEL (from a DPC, under a
 * spin lock) or later from another thread, so the completion routines and
 * waits of the drivers above must cope with either. A seed picks, request by
 * request, one of: at once at PASSIVE_LEVEL, at once at DISPATCH_LEVEL, or
 * pending and completed from another thread. The same seed gives the same
 * choices, so a run can be repeated.
 */
#pragma once

#include <hk/host.h>

#include <cstdint>

namespace sim {

constexpr uint32_t kDefaultCompletionSeed = 1;

// Starts the choices afresh from |seed|.
void SetCompletionSeed(uint32_t seed);
uint32_t CompletionSeed();

// Completes |irp| with |status| (IoStatus.Information already set) the way
// the seed picks next, and returns what the dispatch routine returns:
// |status|, or STATUS_PENDING for a request completed later.
NTSTATUS CompleteLowerRequest(PIRP irp, NTSTATUS status);

// Waits until every request completed from another thread is done.
void JoinLowerCompletions();

}  // namespace sim
