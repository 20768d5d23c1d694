/*
 * What the drivers cost, measured on the simulated machine: N more PB8-A
 * boards (eight ports each) enumerated, started and removed on a machine
 * that already holds one started board, so that every driver image is
 * loaded before the clock runs. For each N: the time to enumerate and start
 * them, the time to remove them, the pool the drivers hold per board, the
 * register accesses per board start, and what the kernel and the simulated
 * machine did for them, counted (hk::Work).
 */
#pragma once

#include <hk/host.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace sim {

struct PoolUse {
    size_t blocks = 0, bytes = 0;
};

struct BenchRun {
    size_t boards = 0;
    double startMs = 0, startCpuMs = 0;    // wall clock and process CPU
    double removeMs = 0, removeCpuMs = 0;
    // What the N boards added, by owner image: paged and nonpaged pool,
    // and register accesses made during their start.
    std::map<std::string, PoolUse> paged, nonPaged;
    std::map<std::string, size_t> registerAccesses;
    size_t portsStarted = 0;
    // hk::Work counted while the N boards started, and while they went.
    std::array<uint64_t, size_t(hk::Work::Count)> startWork{}, removeWork{};
    // Anything that makes the figures worthless: ports that did not start
    // or pass their checks, verifier findings, pool not given back.
    std::vector<std::string> problems;
};

// One measured run of |boards| PB8-A boards.
BenchRun MeasureBoards(size_t boards);

// The verdict on counts over runs of several sizes: every count per board
// the same as in the smallest run, and every count a phase (start, removal)
// must exercise counted there. Names on |out| each count that differs or
// stayed 0.
bool CountsLinear(std::ostream &out, const std::map<size_t, BenchRun> &runs);

// The benchmark: N = 1, 64 and 512 as a table on |out|, then whether the
// cost grows linearly. The verdict is on counts, which do not depend on the
// machine: every counted kind of work, the register accesses and the pool
// per board must be the same for each N. With |judgeTime| the times are
// judged too (the 512-board CPU time 0.8 to 2 x 8 x the 64-board one),
// each then the fastest of five runs; that verdict is only as good as the
// machine is quiet. Returns 0 when every run was clean and the cost linear,
// 1 otherwise.
int RunBench(std::ostream &out, bool judgeTime);

}  // namespace sim
