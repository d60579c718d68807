// The three-parameter logistic model of an amplification curve: its start
// values and fit, its values, and the Ct read from it.
#pragma once

#include <cmath>
#include <cstddef>

#include "numeric/vector.h"
#include "solvers/logistic_fit.h"

namespace quelmar {

// Fits the logistic to one conditioned curve (at least nine readings, as the
// baseline correction leaves them), starting from a wider smoothing than the
// fit itself sees.
LogisticFitResult fit_sigmoid(const Vector& curve);

// The model with params (A, x0, k) at every x; A is used as it is.
Vector evaluate_sigmoid(const double* params, const Vector& x);

// The cycle offset of the fitted logistic's sharpest upward bend from its
// midpoint, ln(2 + sqrt 3), by the library's own log on each call (a batch
// takes it once): a namespace-scope constant would run at load time.
double sigmoid_bend_offset();

inline constexpr double kSigmoidCtLead = 1.5;        // cycles from the Ct to the sharpest upward bend
inline constexpr double kLowestPlausiblePlateau = 10.0;
inline constexpr double kLowestPlausibleSteepness = 0.01;

// The Ct of a stored logistic: a cycle and a half before its sharpest upward
// bend, x0 - bend_offset / k, or NaN for an implausible fit (a plateau below
// 10 or NaN, or a steepness below 0.01). Inline, so that a batch of them is
// one loop.
inline double sigmoid_ct(const LogisticParams& fit, double bend_offset) {
    double value = fit.midpoint - bend_offset / fit.steepness;
    value -= kSigmoidCtLead;
    // The plateau test is written so that a NaN plateau (a record the host
    // filled itself) fails it too instead of passing a finite Ct.
    if (!(fit.amplitude >= kLowestPlausiblePlateau) || kLowestPlausibleSteepness > fit.steepness) value = std::nan("");
    return value;
}

}  // namespace quelmar
