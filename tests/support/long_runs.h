/*
 * The cases a long sweep runs. Where i386 programs run natively, every one;
 * under qemu-i386, where a host program runs some ten times slower, the
 * build sets MPS_LONG_RUN_STRIDE and a sweep runs every stride-th case from
 * the first, and the last, which keeps the whole suite within its time.
 */
#pragma once

#include <vector>

#ifndef MPS_LONG_RUN_STRIDE
#define MPS_LONG_RUN_STRIDE 1
#endif

// Cases 1 to |count| of a sweep, as this build runs them.
inline std::vector<unsigned> SweepCases(unsigned count)
{
    std::vector<unsigned> cases;
    for (unsigned n = 1; n <= count; n += MPS_LONG_RUN_STRIDE) cases.push_back(n);
    if (!cases.empty() && cases.back() != count) cases.push_back(count);
    return cases;
}
