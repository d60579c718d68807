#include "melting/normalization.h"

#include <cmath>
#include <cstddef>

namespace quelmar {
namespace {

// The background level: a tenth of the spread above nine tenths of the mean.
constexpr double kBackgroundSdWeight = 0.1;
constexpr double kBackgroundMeanWeight = 0.9;

}  // namespace

void melting_normalization(Vector& values) {
    const std::size_t n = values.size();
    if (n == 0) return;
    const double mu = mean(values);
    const double sigma = std::sqrt(sum_sq_dev(values) / static_cast<double>(n));
    const double threshold = sigma * kBackgroundSdWeight + mu * kBackgroundMeanWeight;

    for (double& slot : values) {
        double v = slot;
        if (v < 0 || v < threshold) {
            slot = 0;
            v = 0;
        }
        // A threshold at or below zero would raise the curve: leave it.
        if (v > threshold && threshold > 0) slot = v - threshold;
    }
}

}  // namespace quelmar
