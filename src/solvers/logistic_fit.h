// The damped least-squares fit of the three-parameter logistic, the model of
// an amplification curve: Levenberg-Marquardt with forward differences and a
// fixed damping schedule.
#pragma once

#include <cmath>

#include "numeric/vector.h"

namespace quelmar {

// f(x) = amplitude / (1 + exp(-steepness (x - midpoint))), x a 1-based cycle.
struct LogisticParams {
    double amplitude;
    double midpoint;
    double steepness;
};

// The model at x, evaluated as A / (exp((x - x0) * (-k)) + 1.0).
inline double logistic(const LogisticParams& p, double x) {
    return p.amplitude / (std::exp((x - p.midpoint) * (-p.steepness)) + 1.0);
}

// Fits the logistic to readings y at cycles 1 .. n, from `start`. Inside, the
// amplitude is carried in thousands. The fit stops on a residual norm below
// 1e-9, when the damping (2, halved after an accepted step but not below
// 1.5, doubled after a rejected one) exceeds 1e6, or after 100 iterations;
// none of these is an error. A singular damped matrix is refused
// (std::invalid_argument, see NormalEquations::solve).
LogisticParams fit_logistic(const Vector& y, const LogisticParams& start);

}  // namespace quelmar
