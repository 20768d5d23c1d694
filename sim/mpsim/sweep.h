/*
 * Fault sweeps over whole board lifecycles: a board of each model on its
 * bus is enumerated, its ports started with mpsfilt and the serial port
 * driver stand-in, stopped and restarted, queried for stop and for removal
 * (both cancelled), restarted at moved ranges, put to sleep and woken, a
 * port opened that then fails on its own, and removed (or, in a second
 * variant, surprise-removed) before that port is closed. A multiport PCI or
 * ISA board's ports refuse every stop, so its stops are vetoed as the steps
 * expect, and a third, idle life stops and moves it once its ports have
 * failed and gone. Then the same life
 * runs once per fallible kernel call that mpsbus or mpsfilt makes, with
 * that call failing, and once per request the lower drivers (the serial
 * stand-in, the board's lower filter) may fail, with that request failed.
 * The stand-ins' own kernel calls are neither counted nor failed. Every run
 * must end clean: no verifier finding, no pool, mapping, registry handle or
 * device object left; and the failure must surface as the status the
 * failing step gives (the service's own where the step passes it up), or
 * be absorbed where the step absorbs it.
 */
#pragma once

#include "scenario.h"

#include <ostream>
#include <string>
#include <vector>

namespace sim {

// One board life to sweep: "PB8-A/remove", "PB8-A/surprise",
// "PB8-A/memory" (the board's ranges reached through memory), "PL4-A/high"
// (the same with the window above 4 GiB, x64 only), "CB1-B/options" (a card
// with option registers).
struct SweepCase {
    std::string model;    // as mpsbus names it
    std::string variant;
    std::string bus;
    Scenario scenario;
    std::string Name() const { return model + "/" + variant; }
};

// Every case: both variants of each of the ModelCount() models, the idle
// life of each multiport PCI and ISA model, the
// memory-space variant of PB8-A, PL4-A, CB2-A and IB4-AX, on x64 PL4-A's
// above 4 GiB, the option-register card.
std::vector<SweepCase> SweepCases();
// The cases whose model or name is in |names| (all when empty); false with
// the unknown name in |unknown| when a name matches none.
bool SelectSweepCases(const std::vector<std::string> &names, std::vector<SweepCase> *cases, std::string *unknown);

struct SweepFinding {
    unsigned failingCall = 0;  // 0: the clean run
    std::string call;          // "Pool by mpsfilt"
    std::vector<std::string> stack;
    std::vector<std::string> problems;
};

struct SweepResult {
    std::string name;
    unsigned calls = 0;   // fallible calls of the drivers in the clean run
    unsigned lowerRequests = 0;  // requests of the lower drivers failed in turn
    unsigned runs = 0;
    unsigned faults = 0;  // runs in which the planned call was failed
    double seconds = 0, cpuSeconds = 0;  // wall clock; process CPU, every thread
    std::vector<SweepFinding> findings;
};

// The clean run, one run per counted call, then one per lower driver
// request, numbered on; |only| > 0 runs that one alone (after the clean run). |detail| receives, for each run, what
// failed and how it surfaced (null: nothing).
SweepResult RunSweep(const SweepCase &sweepCase, unsigned only = 0, std::ostream *detail = nullptr);

// mpsim --sweep: the cases named (all when none), one line per case and a
// total; each failing run with what replays it; |trace|: every run's failed
// call and where it surfaced. Returns the exit status.
int SweepCommand(const std::vector<std::string> &names, unsigned only, bool trace, std::ostream &out);

}  // namespace sim
