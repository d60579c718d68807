#include "melting/melting_derivative.h"

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <utility>

#include "base/failures.h"
#include "base/messages.h"
#include "base/truncate.h"
#include "curves/curve_primitives.h"
#include "fitting/moving_average.h"
#include "interpolation/cubic_spline.h"
#include "interpolation/refine_grid.h"

namespace quelmar {

namespace {

constexpr std::size_t kGridFactor = 10;        // fine grid points per measured step
constexpr std::size_t kFewestTemperatures = 4;  // the step is measured at the third and fourth
constexpr double kStartSpan = 5.0;              // degrees of the cold end that the start correction replaces
constexpr int kStartSmoothHalfWindow = 30;      // fine grid points on either side

// The kernel filter pads a curve from the three values at each end and from
// the three before the last three; shorter curves would be read outside.
constexpr std::size_t kShortestFilteredCurve = 6;

}  // namespace

Vector melting_kernel() {
    static constexpr double kWeights[] = {0.05, 0.15, 0.2, 0.3, 0.2, 0.15, 0.05};
    return Vector::copy_of(kWeights, std::size(kWeights));
}

void melting_derivative(const Vector& temperature, const Vector& fluorescence, Vector& grid,
                        Vector& derivative) {
    const Vector& t = temperature;
    if (t.size() < kFewestTemperatures) fail_invalid_argument(msg::kMeltingTooFewTemperatures);
    if (fluorescence.size() < kShortestFilteredCurve) fail_invalid_argument(msg::kMeltingCurveTooShort);

    const Vector kernel = melting_kernel();
    Vector filtered = fluorescence;
    weighted_kernel_filter(kernel, filtered);

    Vector fine_grid = refine_grid(t, kGridFactor);
    Vector d = spline_resample(t, filtered, fine_grid);
    weighted_kernel_filter(kernel, d);

    // The resampled curve is not needed after its derivative, which can take
    // its place.
    central_difference(d);
    for (double& v : d) v = -v;
    weighted_kernel_filter(kernel, d);

    // The grid step is a tenth of the measured step, so this gives -dF/dT
    // per degree for evenly spaced readings.
    const double inverse_step = 1 / (t[3] - t[2]);
    for (double& v : d) v = (v * inverse_step) * static_cast<double>(kGridFactor);

    Vector corrected;
    correct_melting_start(t, d, corrected);
    grid = std::move(fine_grid);
    derivative = std::move(corrected);
}

void correct_melting_start(const Vector& temperature, const Vector& curve, Vector& out) {
    const double h = (temperature[3] - temperature[2]) / static_cast<double>(kGridFactor);
    const std::int64_t k = truncate_to_int32(kStartSpan / h);  // the grid points in the span
    const std::int64_t length = static_cast<std::int64_t>(curve.size());
    if (k < 0 || length <= k) fail_invalid_argument(msg::kMeltingCurveTooShort);
    const std::size_t count = static_cast<std::size_t>(k);

    double sum = 0.0;
    for (std::size_t i = 0; i < count; ++i) sum += curve[i];
    const double mu = sum / static_cast<double>(k);

    // The cold end carries the edge effects of three filter passes and of
    // the spline's free end. A straight line replaces it: it starts halfway
    // between their mean and the value five degrees in, and heads for that
    // value.
    const double start = (mu + curve[count]) * 0.5;
    const double slope = (curve[count] - start) / kStartSpan;

    Vector e;
    e.assign_copy(curve.data(), curve.size());
    for (std::size_t i = 0; i < count; ++i) e[i] = static_cast<double>(i) * (h * slope) + start;
    moving_average(e, kStartSmoothHalfWindow);
    out = std::move(e);
}

}  // namespace quelmar
