#include "tests/support/lower_bound.h"

#include <algorithm>

namespace expected {

static double FrameMs(const Step& frame, const Timing& t) {
    const double r = t.roundTripMs;
    if (frame.kind == kind::Erase) return std::max(r, t.eraseMs);
    if (frame.kind == kind::Program) return r + t.programMs;
    if (frame.kind == kind::Ready) return (t.notReadyAnswers + 1) * r + t.notReadyAnswers * double(ReadyPauseMs);
    return r;
}

LowerBound LowerBoundOf(const std::vector<Step>& steps, const Timing& timing) {
    LowerBound bound;
    for (const Step& step : steps) {
        if (step.type == Step::Type::Sleep) {
            bound.ms += step.ms;
            bound.pauses += step.ms == PauseMs;
            bound.eraseRuns += step.ms == ErasePauseMs;
        }
        if (step.type != Step::Type::Frame) continue;
        bound.ms += FrameMs(step, timing);
        bound.commands += step.kind == kind::Mode || step.kind == kind::Speed || step.kind == kind::Ready;
        bound.sectors += step.kind == kind::Erase;
        bound.programs += step.kind == kind::Program;
    }
    return bound;
}

}  // namespace expected
