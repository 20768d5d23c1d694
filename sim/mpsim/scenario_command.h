/*
 * mpsim's main job as a routine: one scenario (a file, a machine of N
 * boards, or the built-in one) run and reported, with mpsim's exit status.
 */
#pragma once

#include <cstdint>
#include <iosfwd>

namespace sim {

struct ScenarioCommandOptions {
    const char *file = nullptr;  // null: --boards, or the built-in machine
    unsigned long boards = 0;    // --boards N
    bool json = false, trace = false;
    uint32_t seed = 0;
};

// Prints the report on |out|, or a mistake of the scenario file as one line
// on |err| before anything runs. Returns 0 when the run is clean, 1 when it
// failed a check, 2 when the file cannot be read or breaks the format.
int RunScenarioCommand(const ScenarioCommandOptions &options, std::ostream &out, std::ostream &err);

}  // namespace sim
