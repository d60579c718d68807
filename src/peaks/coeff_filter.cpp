#include "peaks/coeff_filter.h"

#include <cstddef>

namespace quelmar {
namespace {

// 2 sqrt(2 ln 2), the FWHM of a Gaussian per standard deviation, rounded.
constexpr double kFwhmPerSigma = 2.3548;

bool passes(const FilterLimits& limits, double amplitude, double sigma) noexcept {
    const double fwhm = sigma * kFwhmPerSigma;
    return amplitude > limits.min_amplitude && limits.max_fwhm >= fwhm && fwhm >= limits.min_fwhm;
}

}  // namespace

void filter_peaks(const FilterLimits& limits, const PeakSet& set, PeakSet& out) {
    const std::size_t n = peak_count(set);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < n; ++i)
        if (passes(limits, set.amplitude[i], set.sigma[i])) ++kept;
    out.amplitude = Vector(kept);
    out.center = Vector(kept);
    out.sigma = Vector(kept);
    std::size_t k = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (!passes(limits, set.amplitude[i], set.sigma[i])) continue;
        out.amplitude[k] = set.amplitude[i];
        out.center[k] = set.center[i];
        out.sigma[k] = set.sigma[i];
        ++k;
    }
}

}  // namespace quelmar
