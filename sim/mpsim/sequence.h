/*
 * Seeded Plug and Play sequences: a machine of several boards (mixed buses
 * and models) driven through random steps -- plug in (again), query-stop
 * then cancel, stop, restart (at moved ranges), query-remove then cancel,
 * remove, surprise removal, sleep and wake -- while other threads use the
 * port bus interface through the port stacks as mpsfilt does. One board
 * with several UARTs, the PC Card or the ISA board, is always reached
 * through memory. Each step says what every board should be after it; a
 * vetoed stop or removal leaves it as it was (a stop of a multiport PCI or
 * ISA board with a started port is always vetoed, by one of those ports
 * with STATUS_NOT_SUPPORTED; an open port vetoes any other). After every step the machine
 * is held to its invariants:
 *
 *   started     each board is started, stopped or gone as its steps say; a
 *               started board has a started port for each UART it carries
 *               and its device and its ports in D0, as their drivers reported
 *   relations   a started board reports exactly its live ports; no port
 *               node is started under a board that is gone
 *   names       a board's number and its ports' instance paths stay across
 *               stop and restart; a board plugged in again draws a number
 *               its model never had
 *   balance     once the step's interface threads are done: no interface
 *               reference held, every remove lock back to idle
 *   placement   each started port's serial driver holds its own 8-byte block
 *               of its board's current UART range and, using it again after
 *               the step, passes its loopback and status register checks
 *   objects     live device objects, mpsbus's mappings (each range of a
 *               started board in memory space, at that range) and registry
 *               handles are what the present boards account for
 *   pool        blocks and bytes per image and pool type: what each loaded
 *               image holds alone, measured before the first plug, plus
 *               what each present board's kind took at its plug
 *   verifier    no violation recorded
 *
 * After the final shutdown nothing of either image is left: no device
 * object, mapping, registry handle or pool block.
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
