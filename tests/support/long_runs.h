/*
 * The cases a long sweep runs. Where i386 programs run natively, every one;
 * under qemu-i386, where a host program runs some ten times slower, the
 * build sets MPS_LONG_RUN_STRIDE and a sweep runs every stride-th case from
 * the first, and the last, which keeps the whole suite within its time.
 */
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#ifndef MPS_LONG_RUN_STRIDE
#define MPS_LONG_RUN_STRIDE 1
#endif

// Cases 1 to |count| of a sweep, as this build runs them. A sample says so
// when it runs, in a line beginning "REDUCED:" that make test gathers into
// its summary.
inline std::vector<unsigned> SweepCases(unsigned count)
{
    std::vector<unsigned> cases;
    for (unsigned n = 1; n <= count; n += MPS_LONG_RUN_STRIDE) cases.push_back(n);
    if (!cases.empty() && cases.back() != count) cases.push_back(count);
    if (cases.size() < count) {
        const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
        std::printf("REDUCED: %s.%s: %zu of %u failing calls (one in %u and the last), %zu left out: this x86 build "
                    "runs under qemu-i386, some ten times slower; where i386 runs natively it runs in full\n",
                    test ? test->test_suite_name() : "?", test ? test->name() : "?", cases.size(), count,
                    unsigned(MPS_LONG_RUN_STRIDE), size_t(count) - cases.size());
        std::fflush(stdout);
    }
    return cases;
}
