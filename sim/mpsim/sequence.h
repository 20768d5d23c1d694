/*
 * Seeded Plug and Play sequences: a machine of several boards (mixed buses
 * and models) driven through random steps -- plug in (again), query-stop
 * then cancel, stop, restart (at moved ranges), query-remove then cancel,
 * remove, surprise removal, sleep and wake -- while other threads use the
 * port bus interface through the port stacks as mpsfilt does. After every
 * step the machine is held to its invariants:
 *
 *   relations   a started board reports exactly its live ports; no port
 *               node is started under a board that is gone
 *   names       a board's number and its ports' instance paths stay across
 *               stop and restart; a board plugged in again draws a number
 *               its model never had
 *   balance     once the step's interface threads are done: no interface
 *               reference held, every remove lock back to idle
 *   placement   each started port's serial driver holds its own 8-byte block
 *               of its board's current UART range and passed its loopback
 *   pool        nonpaged pool per image is what the present boards took
 *               when plugged in; paged pool is what the loaded image holds
 *   verifier    no violation recorded
 *
 * The same seed makes the same steps (the threads' interleaving varies).
 */
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

namespace sim {

struct SequenceResult {
    bool passed = true;
    size_t steps = 0;              // steps run
    size_t invariantChecks = 0;    // single checks made
    size_t interfaceCalls = 0;     // GetResourceLists calls from the threads
    std::string failure;           // the step and the invariant that broke
};

constexpr size_t kDefaultSequenceSteps = 40;

// Runs one seeded sequence of |steps| steps on a fresh kernel; with |log|,
// prints each step as it runs and the invariant that broke. Without
// |moves|, restarts keep each board at its ranges.
SequenceResult RunSequence(uint32_t seed, size_t steps, bool moves, std::ostream *log);

}  // namespace sim
