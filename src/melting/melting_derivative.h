// The negative derivative -dF/dT of a melting curve on a ten times finer
// temperature grid.
#pragma once

#include "numeric/vector.h"

namespace quelmar {

// The seven smoothing weights of the melting analysis. They sum to 1.1, so
// each pass also scales a flat signal by 1.1; the derivative is filtered
// three times and keeps that gain (1.331) on purpose.
Vector melting_kernel();

// From temperatures T and readings F (same length, T evenly spaced and
// ascending) builds the grid of 10n - 9 temperatures and -dF/dT on it,
// per degree as measured by the step T[3] - T[2]. Refuses (std::invalid_argument)
// fewer than four temperatures, fewer than six readings (the filter's pads
// would leave the curve), and steps the start correction cannot use.
void melting_derivative(const Vector& temperature, const Vector& fluorescence, Vector& grid,
                        Vector& derivative);

// Replaces the first five degrees of the scaled derivative `curve` by a
// straight line that heads for the value five degrees in, then smooths the
// whole curve with a moving average over +-30 points. Refuses
// (std::invalid_argument) a step T[3] - T[2] that gives no usable number of
// points for five degrees, and a curve no longer than that.
void correct_melting_start(const Vector& temperature, const Vector& curve, Vector& out);

}  // namespace quelmar
