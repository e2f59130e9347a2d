// The simulated unit's timing as the lower bound reads it.
#pragma once
#include "sim/sim.h"
#include "tests/support/lower_bound.h"

namespace expected {

inline Timing TimingOf(const sim::Settings& s) {
    Timing timing;
    timing.roundTripMs = s.roundTripMs;
    timing.eraseMs = s.eraseMs;
    timing.programMs = s.programMs;
    timing.notReadyAnswers = s.notReadyAnswers;
    return timing;
}

}  // namespace expected
