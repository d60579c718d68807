#include "amplification/linear_ct.h"

#include <cmath>
#include <cstdint>
#include <limits>

#include "amplification/plate.h"
#include "curves/curve_primitives.h"

namespace quelmar {

namespace {

constexpr double kSmallestSlope = 1e-6;  // flatter segments give no usable crossing

constexpr double kNoCt = std::numeric_limits<double>::quiet_NaN();

}  // namespace

double crossing_ct(const Vector& curve, double threshold, double& ratio) {
    ratio = 0.0;
    const std::int64_t n = static_cast<std::int64_t>(curve.size());
    // A segment needs a reading on each side of the crossing inside the
    // curve: two readings never offer one, fewer none at all. A threshold at
    // or above every reading is never crossed.
    if (n < 3 || !(threshold < curve[argmax(curve)])) return kNoCt;
    const auto y = [&curve](std::int64_t i) { return curve[static_cast<std::size_t>(i)]; };

    // The last reading at or below the threshold, by bisection on a curve
    // that is taken to rise.
    std::int64_t i;
    if (y(0) > threshold) {
        i = 1;
    } else if (threshold > y(n - 1)) {
        i = n - 1;
    } else {
        std::int64_t lo = 0;
        std::int64_t hi = n - 1;
        std::int64_t mid = hi / 2;
        while (hi - lo > 1) {
            if (threshold < y(mid))
                hi = mid;
            else
                lo = mid;
            mid = lo + (hi - lo) / 2;
        }
        i = lo;
    }
    if (i < 1) i = 1;
    // A curve that ends below the threshold after rising above it is read at
    // its start.
    if (i > n - 2) i = 1;

    double slope;
    double segment_ratio;
    if (y(i) > threshold) {
        slope = y(i) - y(i - 1);
        segment_ratio = y(i) / y(i - 1);
    } else {
        slope = y(i + 1) - y(i);
        segment_ratio = y(i + 1) / y(i);
    }
    const double intercept = y(i) - slope * static_cast<double>(i + 1);
    ratio = segment_ratio;
    if (std::fabs(slope) < kSmallestSlope) return kNoCt;
    return (threshold - intercept) / slope;
}

Vector linear_batch_ct(const Vector& data, WellRecord* wells, std::size_t record_count, double threshold,
                       std::size_t well_count, std::size_t cycle_count, Matrix& curves) {
    const Plate plate(data, well_count, cycle_count);
    Vector ct(record_count);
    curves.assign_fill(0.0, cycle_count, well_count);
    Vector curve;
    for (std::size_t w = 0; w < well_count; ++w) {
        WellRecord& record = wells[w];
        plate.condition_well(w, record, curve);
        ct[w] = crossing_ct(curve, threshold, record.amplification_ratio);
        curves.set_col(w, curve);
    }
    return ct;
}

}  // namespace quelmar
