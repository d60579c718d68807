// Exports of the amplification analysis.
#include <cstring>
#include <stdexcept>

#include "QuelmarAlg.h"
#include "amplification/linear_ct.h"
#include "amplification/sigmoid.h"
#include "amplification/threshold.h"
#include "frame/block_array.h"
#include "frame/boundary.h"
#include "frame/call_frame.h"
#include "numeric/matrix.h"
#include "numeric/vector.h"

using quelmar::Matrix;
using quelmar::Vector;

namespace {

// Runs an analysis that rewrites the caller's records well by well. Callers
// are told that a window out of range (20) or a singular fit (10) leaves the
// wells before the failing one written; any other failure (100: out of memory)
// must not, or the baseline windows the next analysis reuses would silently
// differ from the ones the caller holds. The snapshot is taken before the
// first write, so failing to take it changes nothing either.
template <class Work>
void with_records_kept_on_failure(FittingResult* records, size_t recordCount, size_t wellCount, Work&& work) {
    const size_t written = recordCount < wellCount ? 0 : wellCount;
    quelmar::BlockArray<FittingResult> snapshot(written);
    if (written != 0) std::memcpy(&snapshot[0], records, written * sizeof(FittingResult));
    try {
        work();
    } catch (const std::invalid_argument&) {
        throw;
    } catch (const std::out_of_range&) {
        throw;
    } catch (const std::range_error&) {
        throw;
    } catch (...) {
        if (written != 0) std::memcpy(records, &snapshot[0], written * sizeof(FittingResult));
        throw;
    }
}

}  // namespace

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
        double value = 0.0;
        with_records_kept_on_failure(records, recordCount, wellCount, [&] {
            value = quelmar::calc_threshold(records, recordCount, plate, wellCount, cycleCount);
        });
        *threshold = value;
    });
}

QUELMARALG_API int alg_linear_batch_calc_ct(FittingResult* records, size_t recordCount, double threshold,
                                            const double* data, size_t wellCount, size_t cycleCount,
                                            double* curves, double* ct) {
    return quelmar::call_frame([&] {
        const Vector plate = Vector::copy_of(data, quelmar::checked_product(wellCount, cycleCount));
        Matrix conditioned;
        Vector cts;
        with_records_kept_on_failure(records, recordCount, wellCount, [&] {
            cts = quelmar::linear_batch_ct(plate, records, recordCount, threshold, wellCount, cycleCount,
                                           conditioned);
        });
        quelmar::copy_out(cts, ct);
        quelmar::copy_out(conditioned.elements(), curves);
    });
}

}  // extern "C"
