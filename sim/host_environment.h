// The simulated unit on the host layer's virtual clock, checking the lock rules.
#pragma once
#include "sim/sim.h"

namespace sim {

Environment& HostEnvironment();

}  // namespace sim
