#include "amplification/sigmoid.h"

#include <algorithm>
#include <cmath>

#include "curves/curve_primitives.h"
#include "fitting/moving_average.h"
#include "maths/maths.h"

namespace quelmar {
namespace {

constexpr int kStartSmoothingHalfWindow = 5;  // cycles on either side, wider than the conditioning's
constexpr double kEarliestStartMidpoint = 11.0;  // cycle
constexpr double kStartSteepness = 0.4;

}  // namespace

LogisticFitResult fit_sigmoid(const Vector& curve) {
    // The plateau from the maximum of the wider smoothing, the midpoint
    // halfway between its sharpest bend upwards and its sharpest bend
    // downwards, but not before cycle 11.
    Vector smoothed = curve;
    moving_average(smoothed, kStartSmoothingHalfWindow);
    const double amplitude = smoothed[argmax(smoothed)];
    Vector bend = smoothed;
    central_difference(bend);
    central_difference(bend);
    const std::size_t bend_sum = argmax(bend) + argmin(bend);
    const double midpoint = std::max(kEarliestStartMidpoint, static_cast<double>(bend_sum) * 0.5);
    return fit_logistic(curve, LogisticParams{amplitude, midpoint, kStartSteepness});
}

double sigmoid_bend_offset() { return maths::log(std::sqrt(3.0) + 2.0); }

Vector evaluate_sigmoid(const double* params, const Vector& x) {
    const LogisticParams p{params[0], params[1], params[2]};
    Vector y(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) y[i] = logistic(p, x[i]);
    return y;
}

}  // namespace quelmar
