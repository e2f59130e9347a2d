// The least virtual time an update's record allows on a unit of a given
// timing: every frame's round trip (an erase's reply comes when the erase is
// done, a page program adds its programming time, a ready query that finds
// the unit not ready costs its answer and pause), and every pause the record
// holds. The benchmark, the speed test and the rehearsal report use it.
#pragma once
#include <vector>

#include "tests/support/stream.h"

namespace expected {

struct Timing {
    double roundTripMs = 1;
    double eraseMs = 150;
    double programMs = 0;
    int notReadyAnswers = 0;  // before each ready query is answered ready
};

struct LowerBound {
    double ms = 0;
    int commands = 0;   // mode, speed and ready frames
    int pauses = 0;     // of a second each
    int eraseRuns = 0;
    int sectors = 0;
    int programs = 0;   // page-program frames
};

LowerBound LowerBoundOf(const std::vector<Step>& steps, const Timing& timing);

}  // namespace expected
