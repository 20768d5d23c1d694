/*
 * The fewest fallible calls a swept board life must make, by driver and
 * service. A sweep fails only the calls it counted: a service whose calls
 * stopped being counted (or a life that stopped reaching a step) would
 * leave its failures untried and every run still clean. So the clean run's
 * count of each must reach a floor that the life cannot do without.
 */
#pragma once

#include "scenario.h"

#include <hk/host.h>

#include <string>
#include <vector>

namespace sim {

// One line per (driver, service) whose count in |calls| is below its floor
// for a life of |board| (its UART count, whether its ranges are in memory).
std::vector<std::string> CallsBelowFloor(const BoardScenario &board, const std::vector<hk::FallibleCall> &calls);

}  // namespace sim
