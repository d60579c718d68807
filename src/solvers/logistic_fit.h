// The damped least-squares fit of the three-parameter logistic, the model of
// an amplification curve: the damped Gauss-Newton iteration of K. Levenberg
// (A method for the solution of certain non-linear problems in least squares,
// Quart. Appl. Math. 2, 1944) with forward differences, and a damping
// adjusted after each trial as D. W. Marquardt does it (An algorithm for
// least-squares estimation of nonlinear parameters, J. SIAM 11, 1963), on a
// fixed schedule. Where the fit departs from them, logistic_fit.cpp says so
// at the departure.
#pragma once

#include <cmath>

#include "maths/maths.h"
#include "numeric/vector.h"
#include "solvers/fit_summary.h"

namespace quelmar {

// f(x) = amplitude / (1 + exp(-steepness (x - midpoint))), x a 1-based cycle.
struct LogisticParams {
    double amplitude;
    double midpoint;
    double steepness;
};

// The model at x, evaluated as A / (exp((x - x0) * (-k)) + 1.0).
inline double logistic(const LogisticParams& p, double x) {
    return p.amplitude / (maths::exp((x - p.midpoint) * (-p.steepness)) + 1.0);
}

struct LogisticFitResult {
    LogisticParams params;
    FitSummary summary;
};

// Fits the logistic to readings y at cycles 1 .. n, from `start`. Inside, the
// amplitude is carried in thousands. The fit stops on a residual norm below
// 1e-9 (converged by cost), when the damping (2, halved after an accepted
// step but not below 1.5, doubled after a rejected one) exceeds 1e6, after
// 100 iterations, or on a singular damped system; the last leaves no result,
// and its params are then the last accepted ones.
LogisticFitResult fit_logistic(const Vector& y, const LogisticParams& start);

}  // namespace quelmar
