#include "peaks/simulation.h"

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "base/failures.h"
#include "base/messages.h"
#include "maths/maths.h"

namespace quelmar {
namespace {

constexpr double kSigmaHalving = 0.5;
constexpr double kRippleDecay = -0.0451;
constexpr double kRippleFrequency = 0.5;
constexpr std::size_t kDefaultPeakIndex = 10;
constexpr double kDefaultPeakSigma = 100.0;
constexpr double kDerivedSteepness = 3.0;

// The peaks to draw: a copy of the set, or, for a set without peaks, one
// peak of height 0 at the curve's eleventh temperature. It draws nothing
// but gives the evaluation a centre.
PeakSet peaks_to_draw(const PeakCurve& curve, const PeakSet& set) {
    const std::size_t n = peak_count(set);
    PeakSet peaks;
    if (n == 0) {
        if (curve.x.size() <= kDefaultPeakIndex) fail_invalid_argument(msg::kArrayTooShort);
        peaks.amplitude.assign_fill(0.0, 1);
        peaks.center.assign_fill(curve.x[kDefaultPeakIndex], 1);
        peaks.sigma.assign_fill(kDefaultPeakSigma, 1);
        return peaks;
    }
    peaks.amplitude.assign_copy(set.amplitude.data(), n);
    peaks.center.assign_copy(set.center.data(), n);
    peaks.sigma.assign_copy(set.sigma.data(), n);
    return peaks;
}

// Adds every peak, evaluated at the points, to the accumulator, peak after
// peak; the points and the accumulator must be equally long.
void add_peaks(const PeakSet& peaks, const Vector& points, Vector& sum) {
    Vector t;
    for (std::size_t i = 0; i < peaks.center.size(); ++i) {
        const double c = peaks.sigma[i] * kSigmaHalving;
        const double factor = 1.0 / ((c + c) * c);
        const double b = peaks.center[i];
        const double a = peaks.amplitude[i];
        t.copy_from(points);
        for (double& e : t) {
            const double d = e - b;
            e = maths::exp(-(d * d) * factor) * a;
        }
        sum += t;
    }
}

// Adds the background at each point: the level, less the logistic step,
// plus the ripple, one after the other.
void add_background(const Vector& points, const SimBackground& bg, Vector& sum) noexcept {
    const double p0 = bg.level;
    for (double& e : sum) e += p0;
    for (std::size_t k = 0; k < points.size(); ++k)
        sum[k] -= p0 / (maths::exp((points[k] - bg.midpoint) * (-bg.steepness)) + 1.0);
    for (std::size_t k = 0; k < points.size(); ++k)
        sum[k] += maths::exp(points[k] * kRippleDecay) * p0 * maths::sin(points[k] * kRippleFrequency);
}

// The first index from 1 on whose temperature reaches t, or the size.
std::size_t first_reaching(const Vector& x, double t) noexcept {
    std::size_t i = 1;
    while (i < x.size() && !(x[i] >= t)) ++i;
    return i;
}

}  // namespace

Vector simulate_peak_values(const PeakCurve& curve, const PeakSet& set, const SimBackground& background) {
    const PeakSet peaks = peaks_to_draw(curve, set);
    const Vector points(peaks.center);
    Vector sum(points.size());
    add_peaks(peaks, points, sum);
    add_background(points, background, sum);
    return sum;
}

Vector simulate_curve(const PeakCurve& curve, const PeakSet& set, SimBackground& background) {
    const Vector& x = curve.x;
    const PeakSet peaks = peaks_to_draw(curve, set);
    const double first_center = peaks.center[0];
    const double last_center = peaks.center[peaks.center.size() - 1];

    Vector sum(curve.y.size());
    add_peaks(peaks, x, sum);

    // The background needs a level before the first peak and a midpoint at
    // the last one, both read from the curve: two temperatures at least.
    const std::size_t nx = x.size();
    if (nx < 2) fail_invalid_argument(msg::kArrayTooShort);
    // lo: the last temperature below the first centre; hi: the last below
    // the last centre (the search starts at index 1, so neither lies past
    // the last temperature). A first centre at or below the first
    // temperature, or past the last one, averages all but the last value.
    const std::int64_t i1 = first_center <= x[0] ? 0 : static_cast<std::int64_t>(first_reaching(x, first_center));
    std::int64_t lo = i1 - 1;
    std::int64_t hi = static_cast<std::int64_t>(first_reaching(x, last_center)) - 1;
    if (lo < 0) lo = static_cast<std::int64_t>(nx) - 1;
    if (lo == 0) lo = 1;
    if (hi == 0) hi = 1;

    background.level = mean(curve.y.slice(0, static_cast<std::size_t>(lo)));
    background.midpoint = x[static_cast<std::size_t>(hi)];
    background.steepness = kDerivedSteepness;

    add_background(x, background, sum);
    return sum;
}

}  // namespace quelmar
