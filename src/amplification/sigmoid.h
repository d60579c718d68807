// The three-parameter logistic model of an amplification curve: its start
// values and fit, its values, and the Ct read from it.
#pragma once

#include <cstddef>

#include "numeric/vector.h"
#include "solvers/logistic_fit.h"

namespace quelmar {

// Fits the logistic to one conditioned curve (at least nine readings, as the
// baseline correction leaves them), starting from a wider smoothing than the
// fit itself sees.
LogisticParams fit_sigmoid(const Vector& curve);

// The model with params (A, x0, k) at every x; A is used as it is.
Vector evaluate_sigmoid(const double* params, const Vector& x);

// The Ct of a stored logistic: a cycle and a half before its sharpest upward
// bend, or NaN for an implausible fit (a plateau below 10 or NaN, or a
// steepness below 0.01).
double sigmoid_ct(const LogisticParams& fit);

}  // namespace quelmar
