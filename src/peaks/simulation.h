// Synthetic melting curves built from a set of peaks: the peaks (sigma read
// as twice the standard deviation) on a falling logistic background with a
// damped sinusoidal ripple.
#pragma once

#include "numeric/vector.h"
#include "peaks/peak_set.h"

namespace quelmar {

struct SimBackground {
    double level;      // p0
    double midpoint;   // p1, a temperature
    double steepness;  // p2
};

// The synthetic curve at each peak centre, over the caller's background.
Vector simulate_peak_values(const PeakCurve& curve, const PeakSet& set, const SimBackground& background);

// The synthetic curve at each temperature of the curve, over a background
// derived from the curve's data, which is stored in background.
Vector simulate_curve(const PeakCurve& curve, const PeakSet& set, SimBackground& background);

}  // namespace quelmar
