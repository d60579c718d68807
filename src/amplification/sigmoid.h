// The three-parameter logistic model of an amplification curve and its fit.
#pragma once

#include <cstddef>

#include "QuelmarAlg.h"
#include "numeric/matrix.h"
#include "numeric/vector.h"

namespace quelmar {

// f(x) = amplitude / (1 + exp(-steepness (x - midpoint))), x a 1-based cycle.
struct SigmoidParams {
    double amplitude;
    double midpoint;
    double steepness;
};

// One curve: x the cycle numbers 1..n, y the readings.
struct CurveData {
    Vector x;
    Vector y;
};

// Residual of the model against a CurveData context; the first parameter
// is carried in thousands: p = (A / 1000, x0, k).
void sigmoid_residual(const void* context, const Vector& p, Vector& out);

// Levenberg-Marquardt with forward differences and a fixed damping schedule.
Vector levenberg_marquardt(ResidualFunction f, const void* context, const Vector& initial, int max_iterations,
                           double difference_step, double tolerance);

// Fits the logistic to one conditioned curve; refuses (std::invalid_argument)
// a curve of fewer than two readings, which has no derivative.
SigmoidParams fit_sigmoid(const Vector& curve);

// The model with params (A, x0, k) at every x; A is used as it is.
Vector evaluate_sigmoid(const double* params, const Vector& x);

// One Ct per record from its stored logistic, NaN for implausible fits.
Vector sigmoid_batch_ct(const FittingResult* records, std::size_t record_count);

}  // namespace quelmar
