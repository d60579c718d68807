#include "amplification/sigmoid.h"

#include <algorithm>
#include <cmath>

#include "curves/curve_primitives.h"
#include "fitting/moving_average.h"

namespace quelmar {

LogisticParams fit_sigmoid(const Vector& curve) {
    // The plateau from the maximum of the wider smoothing, the midpoint
    // halfway between its sharpest bend upwards and its sharpest bend
    // downwards, but not before cycle 11.
    Vector smoothed = curve;
    moving_average(smoothed, 5);
    const double amplitude = smoothed[argmax(smoothed)];
    Vector bend = smoothed;
    central_difference(bend);
    central_difference(bend);
    const std::size_t bend_sum = argmax(bend) + argmin(bend);
    const double midpoint = std::max(11.0, static_cast<double>(bend_sum) * 0.5);
    return fit_logistic(curve, LogisticParams{amplitude, midpoint, 0.4});
}

Vector evaluate_sigmoid(const double* params, const Vector& x) {
    const LogisticParams p{params[0], params[1], params[2]};
    Vector y(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) y[i] = logistic(p, x[i]);
    return y;
}

double sigmoid_ct(const LogisticParams& fit) {
    // The fitted logistic bends upwards most sharply at x0 - ln(2 + sqrt 3) / k.
    double value = fit.midpoint - std::log(std::sqrt(3.0) + 2.0) / fit.steepness;
    value -= 1.5;
    // The plateau test is written so that a NaN plateau (a record the host
    // filled itself) fails it too instead of passing a finite Ct.
    if (!(fit.amplitude >= 10.0) || 0.01 > fit.steepness) value = std::nan("");
    return value;
}

}  // namespace quelmar
