// Where the simulated unit's DLL takes its settings from: the file named by
// SORVIK_SIM_SETTINGS (unset: one healthy unit "2025"), and the recorded
// trace that file may name for a replay.
#pragma once
#include "sim/real_time_environment.h"

namespace sim {

// Reads the settings, starts the environment in their output folder, reports
// what could not be read or understood there, and configures the unit.
void LoadSettings(RealTimeEnvironment& environment);

}  // namespace sim
