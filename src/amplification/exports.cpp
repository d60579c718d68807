// Exports of the amplification analysis. The analyses work on WellRecords;
// the exports copy the host's FittingResults in and the results back out.
#include "QuelmarAlg.h"
#include "amplification/linear_ct.h"
#include "amplification/record.h"
#include "amplification/sigmoid.h"
#include "amplification/threshold.h"
#include "base/allocator.h"
#include "base/block_array.h"
#include "base/failures.h"
#include "base/messages.h"
#include "boundary/call_frame.h"
#include "boundary/handed_array.h"
#include "numeric/matrix.h"
#include "numeric/vector.h"

using quelmar::Matrix;
using quelmar::Vector;
using quelmar::WellRecord;

namespace {

// The fields an analysis shares with the host's record, either way round.
template <class To, class From>
void copy_fields(To& to, const From& from) {
    to.max_slope_index = from.max_slope_index;
    to.amplification_ratio = from.amplification_ratio;
    to.baseline_step = from.baseline_step;
    to.max_corrected_slope = from.max_corrected_slope;
    to.third_value = from.third_value;
    to.raw_max = from.raw_max;
    to.baseline_slope = from.baseline_slope;
    to.baseline_start = from.baseline_start;
    to.baseline_end = from.baseline_end;
    to.sigmoid_amplitude = from.sigmoid_amplitude;
    to.sigmoid_midpoint = from.sigmoid_midpoint;
    to.sigmoid_steepness = from.sigmoid_steepness;
    to.baseline_sd = from.baseline_sd;
    to.low_signal = from.low_signal;
    to.no_growth = from.no_growth;
}

// One record per well is written: a shorter record array would be written
// past its end, so it is refused before any record is touched.
void require_records(size_t recordCount, size_t wellCount) {
    if (recordCount < wellCount) quelmar::fail_invalid_argument(quelmar::msg::kBadInput);
}

// Copies of the host's first `count` records for an analysis to work on.
// They go back to the host when the analysis succeeds, and when it fails with
// a code the host can act on (a window out of range, 20; a singular fit, 10),
// since the host is told that the wells before the failing one stay written.
// A failure of the library itself (100: out of memory) leaves every record
// exactly as it was, or the baseline windows the next analysis reuses would
// silently differ from the host's.
class RecordCopies {
public:
    RecordCopies(FittingResult* records, size_t count) : host_(records), copies_(count) {
        for (size_t i = 0; i < count; ++i) copy_fields(copies_[i], host_[i]);
    }

    template <class Analysis>
    void run(Analysis&& analysis) {
        try {
            analysis(copies_.data());
        } catch (...) {
            if (quelmar::current_failure().code != ALG_ERR_FAILURE) write_back();
            throw;
        }
        write_back();
    }

private:
    void write_back() noexcept {
        for (size_t i = 0; i < copies_.size(); ++i) copy_fields(host_[i], copies_[i]);
    }

    FittingResult* host_;
    quelmar::BlockArray<WellRecord> copies_;
};

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
        const double bend_offset = quelmar::sigmoid_bend_offset();
        Vector cts(recordCount);
        for (size_t i = 0; i < recordCount; ++i) {
            const FittingResult& r = records[i];
            cts[i] = quelmar::sigmoid_ct({r.sigmoid_amplitude, r.sigmoid_midpoint, r.sigmoid_steepness}, bend_offset);
        }
        quelmar::copy_out(cts, ct);
    });
}

QUELMARALG_API int alg_calc_threshold(FittingResult* records, size_t recordCount, const double* data,
                                      size_t wellCount, size_t cycleCount, double* threshold) {
    return quelmar::call_frame([&] {
        const Vector plate = Vector::copy_of(data, quelmar::checked_product(wellCount, cycleCount));
        require_records(recordCount, wellCount);
        RecordCopies copies(records, recordCount);
        double value = 0.0;
        copies.run([&](WellRecord* wells) {
            value = quelmar::calc_threshold(wells, recordCount, plate, wellCount, cycleCount);
        });
        *threshold = value;
    });
}

QUELMARALG_API int alg_linear_batch_calc_ct(FittingResult* records, size_t recordCount, double threshold,
                                            const double* data, size_t wellCount, size_t cycleCount,
                                            double* curves, double* ct) {
    return quelmar::call_frame([&] {
        const Vector plate = Vector::copy_of(data, quelmar::checked_product(wellCount, cycleCount));
        require_records(recordCount, wellCount);
        RecordCopies copies(records, wellCount);
        Matrix conditioned;
        Vector cts;
        copies.run([&](WellRecord* wells) {
            cts = quelmar::linear_batch_ct(plate, wells, recordCount, threshold, wellCount, cycleCount, conditioned);
        });
        quelmar::copy_out(cts, ct);
        quelmar::copy_out(conditioned.elements(), curves);
    });
}

}  // extern "C"
