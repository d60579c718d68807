// Exports of the smoothing and fitting routines.
#include "QuelmarAlg.h"
#include "base/failures.h"
#include "base/messages.h"
#include "boundary/call_frame.h"
#include "boundary/handed_array.h"
#include "fitting/moving_average.h"
#include "fitting/quadratic.h"
#include "fitting/running_smooth.h"
#include "numeric/vector.h"

using quelmar::Vector;

namespace {

// The interval on which alg_sample_data_fitting looks for the extreme value.
// It is fixed, whatever the number of samples.
constexpr double kFirstAbscissa = 1.0;
constexpr double kLastAbscissa = 11.0;

// The parabola's value at its vertex when the vertex lies in [1, 11] (its
// maximum or its minimum), otherwise the larger of its two end values.
double extreme_on_fixed_interval(double c0, double c1, double c2) {
    const double vertex = -c1 / (c0 + c0);
    // A NaN vertex fails the test and falls through to the end values.
    if (vertex >= kFirstAbscissa && kLastAbscissa >= vertex) {
        return (c0 * vertex * vertex + c1 * vertex) + c2;
    }
    const double at_last = (c0 * kLastAbscissa * kLastAbscissa + c1 * kLastAbscissa) + c2;
    const double at_first = (c0 + c1) + c2;
    // Ties and NaNs give the value at the first abscissa.
    return at_last > at_first ? at_last : at_first;
}

}  // namespace

extern "C" {

QUELMARALG_API int alg_super_smooth(double* data, size_t count, int half_window) {
    return quelmar::call_frame([&] {
        Vector v = Vector::copy_of(data, count);
        quelmar::moving_average(v, half_window);
        quelmar::copy_out(v, data);
    });
}

QUELMARALG_API int alg_sample_data_fitting(const double* data, size_t count, double* result) {
    return quelmar::call_frame([&] {
        const Vector y = Vector::copy_of(data, count);
        Vector x;
        x.assign_sequence(1.0, 1.0, count);
        Vector coeffs;
        quelmar::quadratic_least_squares(x, y, coeffs);
        *result = extreme_on_fixed_interval(coeffs[0], coeffs[1], coeffs[2]);
    });
}

QUELMARALG_API int alg_run_smooth(double* data, size_t count) {
    return quelmar::call_frame([&] {
        Vector v = Vector::copy_of(data, count);
        quelmar::running_smooth(v);
        quelmar::copy_out(v, data);
    });
}

QUELMARALG_API int alg_increasing(double start, double step, size_t length, double* out) {
    return quelmar::call_frame([&] {
        if (length == 0) quelmar::fail_invalid_argument(quelmar::msg::kLengthZero);
        Vector v;
        v.assign_sequence(start, step, length);
        quelmar::copy_out(v, out);
    });
}

}  // extern "C"
