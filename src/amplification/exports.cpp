// Exports of the amplification analysis.
#include "QuelmarAlg.h"
#include "amplification/linear_ct.h"
#include "amplification/sigmoid.h"
#include "amplification/threshold.h"
#include "frame/boundary.h"
#include "frame/call_frame.h"
#include "numeric/matrix.h"
#include "numeric/vector.h"

using quelmar::Matrix;
using quelmar::Vector;

extern "C" {

QUELMARALG_API int alg_sigmoid(const double* params, double* values, size_t n) {
    return quelmar::call_frame([&] {
        const Vector x = Vector::copy_of(values, n);
        const Vector y = quelmar::evaluate_sigmoid(params, x);
        quelmar::copy_out(y, values);
    });
}

QUELMARALG_API int alg_sigmoid_batch_calc_ct(const FittingResult* records, size_t recordCount, size_t /*unused*/,
                                             double* ct) {
    return quelmar::call_frame([&] {
        const Vector cts = quelmar::sigmoid_batch_ct(records, recordCount);
        quelmar::copy_out(cts, ct);
    });
}

QUELMARALG_API int alg_calc_threshold(FittingResult* records, size_t recordCount, const double* data,
                                      size_t wellCount, size_t cycleCount, double* threshold) {
    return quelmar::call_frame([&] {
        const Vector plate = Vector::copy_of(data, quelmar::checked_product(wellCount, cycleCount));
        const double value = quelmar::calc_threshold(records, recordCount, plate, wellCount, cycleCount);
        *threshold = value;
    });
}

QUELMARALG_API int alg_linear_batch_calc_ct(FittingResult* records, size_t recordCount, double threshold,
                                            const double* data, size_t wellCount, size_t cycleCount,
                                            double* curves, double* ct) {
    return quelmar::call_frame([&] {
        const Vector plate = Vector::copy_of(data, quelmar::checked_product(wellCount, cycleCount));
        Matrix conditioned;
        const Vector cts =
            quelmar::linear_batch_ct(plate, records, recordCount, threshold, wellCount, cycleCount, conditioned);
        quelmar::copy_out(cts, ct);
        quelmar::copy_out(conditioned.elements(), curves);
    });
}

}  // extern "C"
