// Exports of the quantification statistics.
#include "QuelmarAlg.h"
#include "boundary/call_frame.h"
#include "boundary/handed_array.h"
#include "fitting/linear_regression.h"
#include "numeric/vector.h"
#include "statistics/relative_quantity.h"
#include "statistics/replicate_stats.h"

using quelmar::Vector;

extern "C" {

QUELMARALG_API int alg_calc_sd(const int32_t* options, const double* data, size_t n, double** outValues,
                               size_t* outCount) {
    return quelmar::call_frame([&] {
        // Only dataKind is read: a pointer to a single integer is enough.
        const int32_t data_kind = options[0];
        const Vector packed = Vector::copy_of(data, n);
        const quelmar::ReplicateInput input(packed);
        quelmar::hand_out(quelmar::replicate_summary(data_kind, input), outValues, outCount);
    });
}

QUELMARALG_API int alg_calc_rq(const int32_t* options, const double* summary, size_t n, double calibrator,
                               double* result) {
    return quelmar::call_frame([&] {
        const quelmar::RqSettings settings{options[0], options[1], options[2], options[3], options[4]};
        const Vector values = Vector::copy_of(summary, n);
        quelmar::relative_quantity(settings, values, calibrator, result);
    });
}

QUELMARALG_API int alg_calc_standard(const double* x, size_t nx, const double* y, size_t ny, double* out) {
    return quelmar::call_frame([&] {
        const Vector xs = Vector::copy_of(x, nx);
        const Vector ys = Vector::copy_of(y, ny);
        const quelmar::LinearFit fit = quelmar::linear_regression(xs, ys);
        out[0] = fit.slope;
        out[1] = fit.intercept;
        out[2] = fit.rms_residual;
        out[3] = fit.r_squared;
    });
}

}  // extern "C"
