// A recorded run (a trace of the field trace library, one JSON record a line)
// turned into the simulated unit's settings, so that the unit answers as the
// recorded one did: the bridges and their serials, every library call that
// failed, and each frame's reply with its timing.
#pragma once
#include <string>

#include "sim/sim.h"

namespace sim {

// Fills settings from the trace; returns what could not be read (with its
// line number), empty when every line was understood.
std::string ApplyReplay(const std::string& trace, Settings& settings);

}  // namespace sim
