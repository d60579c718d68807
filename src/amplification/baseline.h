// Baseline correction of one well's amplification curve.
#pragma once

#include "QuelmarAlg.h"
#include "numeric/vector.h"

namespace quelmar {

// Turns a smoothed amplification curve into a baseline-corrected one that
// starts near zero, rises through the baseline as an ideal doubling per
// cycle, never drops below 0.01 after the baseline and stays at its maximum
// after its peak. Fills the record's baseline window, noise, slope and quality flags
// (flags are set, never cleared; a host-chosen window is kept).
void correct_baseline(FittingResult& record, Vector& curve);

// correct_baseline followed by the amplification kernel filter.
void condition_curve(FittingResult& record, Vector& curve);

}  // namespace quelmar
