/*
 * Where the seeded sequences and the fault sweep place the window through
 * which a machine reaches I/O space in memory. On x64 a host bridge may put
 * it above 4 GiB, where a driver that cuts a physical address to 32 bits
 * maps, rebuilds or compares the wrong address; some of the x64 runs put it
 * there. The x86 runs keep it below 4 GiB: 32-bit client Windows limits the
 * physical address space to 4 GiB even with PAE.
 */
#pragma once

#include "pnp_types.h"

#include <cstdint>

namespace sim {

// Above 4 GiB, with bits set in both halves of the address.
constexpr ULONGLONG kHighMemoryWindow = 0x3FE000000;

// Whether this build runs machines with the window above 4 GiB (x64).
constexpr bool kHighWindowRuns = sizeof(void *) == 8;

// The window of a sequence's machine: above 4 GiB for every odd seed on x64.
ULONGLONG SequenceMemoryWindow(uint32_t seed);

}  // namespace sim
