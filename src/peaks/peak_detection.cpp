#include "peaks/peak_detection.h"

#include <cmath>
#include <cstdint>
#include <utility>

#include "base/failures.h"
#include "base/messages.h"
#include "base/truncate.h"
#include "maths/maths.h"

namespace quelmar {
namespace {

constexpr std::size_t kFewestTemperatures = 4;  // the step is measured at the third and fourth
// A peak's width is read from the curve's height this many peak widths away.
constexpr double kWindowPerPeakWidth = 1.3;
// The reference height read there: below kNegligibleHeight the curve has
// nothing left and kStandInHeight stands in; above the peak's own height, it
// is taken as kHighestHeightRatio of the peak's height.
constexpr double kNegligibleHeight = 1e-08;
constexpr double kStandInHeight = 0.6;
constexpr double kHighestHeightRatio = 0.8;
constexpr double kGaussianExponentFactor = -2.0;  // r / a = exp(d^2 / (-2 sigma^2))
constexpr double kFallbackSigma = 1.6;            // for a width estimated as exactly 0
constexpr double kRawSigma = 1.7;                 // the width of every raw peak

int sign_of(double d) noexcept { return d > 0.0 ? 1 : (d < 0.0 ? -1 : 0); }

void require_x_covers_y(const Vector& x, const Vector& y) {
    if (x.size() < y.size()) fail_invalid_argument(msg::kArrayTooShort);
}

// Fresh fields of one zero per peak.
void size_fields(PeakSet& set, std::size_t n) {
    set.amplitude = Vector(n);
    set.center = Vector(n);
    set.sigma = Vector(n);
}

// A window end at index i lies inside the curve of n values.
bool inside(std::int64_t i, std::size_t n) noexcept { return i >= 0 && static_cast<std::uint64_t>(i) < n; }

}  // namespace

IndexList local_max_indices(const Vector& v) {
    // With d[i] = v[i+1] - v[i], index i + 1 is a maximum where the sign of d
    // falls from +1 to -1 between i and i + 1. The last difference repeats
    // the one before it, so the sign change there is 0 and the last value is
    // never reported; with fewer than three values there is no interior.
    const std::size_t n = v.size();
    if (n < 3) return IndexList();
    const auto each_maximum = [&v, n](auto&& take) {
        for (std::size_t i = 0; i + 2 < n; ++i)
            if (sign_of(v[i + 2] - v[i + 1]) - sign_of(v[i + 1] - v[i]) == -2) take(i + 1);
    };
    std::size_t count = 0;
    each_maximum([&count](std::size_t) { ++count; });
    IndexList indices(count);
    std::size_t k = 0;
    each_maximum([&](std::size_t j) { indices[k++] = j; });
    return indices;
}

void estimate_peaks(const PeakCurve& curve, double peak_width, PeakSet& set) {
    const Vector& x = curve.x;
    const Vector& y = curve.y;
    const std::size_t ny = y.size();
    if (x.size() < kFewestTemperatures) fail_invalid_argument(msg::kMeltingTooFewTemperatures);
    require_x_covers_y(x, y);

    const IndexList idx = local_max_indices(y);
    size_fields(set, idx.size());

    // A negative width reverses the window, which can still land inside the
    // data and then yields negative widths; it is the caller's limit, so it is
    // refused here rather than trusted. A width merely too small for the step
    // is legal and gives NaN widths.
    if (!(peak_width >= 0.0)) fail_invalid_argument(msg::kBadInput);
    const double dx = x[3] - x[2];
    // Half-window in samples. Index arithmetic is 64-bit, so that even the
    // most negative window cannot overflow and is caught as leaving the data.
    const std::int64_t w = truncate_to_int32(peak_width * kWindowPerPeakWidth / dx);

    for (std::size_t k = 0; k < idx.size(); ++k) {
        const std::size_t i = idx[k];
        const double a = y[i];
        const double b = x[i];
        set.amplitude[k] = a;
        set.center[k] = b;
        if (a <= 0.0) fail_overflow(msg::kPeakNotPositive);

        const std::int64_t lo = static_cast<std::int64_t>(i) - w;
        const std::int64_t hi = static_cast<std::int64_t>(i) + w;
        double r;
        double d;
        if (lo <= 0) {
            if (!inside(hi, ny)) fail_invalid_argument(msg::kSliceEndOutOfRange);
            r = y[hi];
            d = x[hi] - x[i];
        } else {
            if (!inside(lo, ny)) fail_invalid_argument(msg::kSliceEndOutOfRange);
            d = x[i] - x[lo];
            if (hi < 0) fail_invalid_argument(msg::kSliceEndOutOfRange);
            // Past the end of the curve (the end of y, which x may outrun)
            // only the low side is left to compare.
            r = static_cast<std::uint64_t>(hi) < ny ? (y[hi] + y[lo]) * 0.5 : y[lo];
        }
        if (r < kNegligibleHeight) r = kStandInHeight;
        if (r > a) r = a * kHighestHeightRatio;

        // Inverts r / a = exp(-d^2 / (2 sigma^2)) for sigma. A NaN (from a
        // zero window) is kept; only an exact 0 takes the fallback.
        const double sigma = d / std::sqrt(std::fabs(maths::log(std::fabs(r / a)) * kGaussianExponentFactor));
        set.sigma[k] = sigma == 0.0 ? kFallbackSigma : sigma;
    }
}

void raw_peaks(const Vector& x, const Vector& y, PeakSet& set) {
    require_x_covers_y(x, y);
    const IndexList idx = local_max_indices(y);
    size_fields(set, idx.size());
    for (std::size_t k = 0; k < idx.size(); ++k) {
        set.amplitude[k] = y[idx[k]];
        set.center[k] = x[idx[k]];
        set.sigma[k] = kRawSigma;
    }
}

}  // namespace quelmar
