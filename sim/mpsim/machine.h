/*
 * The simulated machine: boards in their slots, the Plug and Play manager,
 * the drivers, and a scenario run from power-on to shutdown.
 */
#pragma once

#include "pnp_manager.h"
#include "report.h"
#include "scenario.h"

#include <functional>
#include <memory>

namespace sim {

// One board's hardware in its slot: plugged in at a set of ranges, moved,
// or pulled out.
class BoardSlot {
public:
    explicit BoardSlot(const BoardScenario &board);
    ~BoardSlot();
    BoardSlot(const BoardSlot &) = delete;
    BoardSlot &operator=(const BoardSlot &) = delete;

    void Plug(const BoardResources &at);
    void Unplug();
    bool Plugged() const;
    // The device power state its bus driver set; kept across a re-plug.
    void SetPower(DEVICE_POWER_STATE state);

private:
    struct Hardware;
    std::unique_ptr<Hardware> hardware_;
};

// Resets the kernel, runs the scenario's steps, records the tree, then
// shuts the machine down (every board removed, every driver unloaded) so
// that the pool and verifier summaries show what the drivers left behind.
// Throws ScenarioError for a step that names a board not in the machine.
// |afterReset| runs once the kernel is fresh and before any driver loads: a
// fault-injection sweep sets its plan there.
MachineReport RunScenario(const Scenario &scenario, const std::function<void()> &afterReset = nullptr);

// The Windows every run of this process models unless its scenario names
// one (mpsim --windows); Windows 2000 until set.
void SetMachineWindows(hk::Windows windows);
hk::Windows MachineWindows();
// After a kernel reset: the machine's Windows, or the scenario's, and the
// scenario's WDM version where it gives one.
void ApplyWindows(const Scenario &scenario);

}  // namespace sim
