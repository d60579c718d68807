#include "amplification/baseline.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <utility>

#include "base/failures.h"
#include "base/messages.h"
#include "curves/curve_primitives.h"
#include "fitting/linear_regression.h"
#include "maths/maths.h"

namespace quelmar {

namespace {

constexpr double kSignalFloor = 300.0;         // a curve that never reaches it is weak
constexpr double kFloor = 0.01;                // lowest corrected reading, and the fill of a rejected curve
constexpr double kEarlyNoiseLimit = 200.0;     // spread of the early readings that counts as noise
constexpr double kLateNoiseLimit = 2000.0;     // spread of the late readings that counts as noise
constexpr double kMinimalGrowth = 0.04;        // relative rise around the steepest point
constexpr double kRampExponent = 0.69314;      // per-cycle exponent of the back-filled ramp, just below ln 2
constexpr double kUnitLevel = 1.0;             // stands in for a zero or floored level
constexpr std::int64_t kFirstBaselineEnd = 9;  // E is never taken below this index
constexpr std::int64_t kEarlyNoiseFrom = 10;   // the early-noise check needs E at least this
constexpr std::int16_t kDefaultBaselineStart = 3;
constexpr std::int64_t kOffset = 4;  // cycles of the late-noise, step and growth checks

double population_sd(const Vector& v) { return std::sqrt(sum_sq_dev(v) / static_cast<double>(v.size())); }

double largest(const Vector& v) { return v[argmax(v)]; }

// A negative index becomes a huge unsigned one, which Vector::slice refuses
// like any other window outside the curve: a window never reads before it.
std::size_t at(std::int64_t i) { return static_cast<std::size_t>(i); }

[[noreturn]] void refuse_window() { fail_out_of_range(msg::kSliceEndOutOfRange); }

// The positions that steer the correction, read from the input y0.
struct Landmarks {
    std::int64_t n;         // readings
    std::int64_t steepest;  // the largest first derivative
    std::int64_t e;         // E: the largest second derivative, but at least 9
    std::int64_t m2;        // the smallest second derivative
    std::int64_t m0;        // the smallest reading
    double raw_max;         // the largest reading
    // A minimum after the first ten readings that lies below the mean of
    // every reading before it: a baseline that keeps falling. Such a curve is
    // rebuilt from that minimum, which also moves the end of its baseline there.
    bool falling;
};

bool has_falling_baseline(const Vector& y0, std::int64_t m0) {
    if (m0 <= kFirstBaselineEnd) return false;
    double sum = 0.0;
    for (std::int64_t i = 0; i < m0; ++i) sum += y0[at(i)];
    return sum / static_cast<double>(m0) > y0[at(m0)];
}

// Writes max_slope_index. Without two readings there is no derivative, and
// every window reaches past the curve.
Landmarks find_landmarks(WellRecord& record, const Vector& y0) {
    Landmarks mark{};
    mark.n = static_cast<std::int64_t>(y0.size());
    if (mark.n < 2) refuse_window();
    // Only the positions of the extremes of the derivatives are needed, so
    // one scratch vector holds both in turn.
    Vector scratch = y0;
    central_difference(scratch);
    mark.steepest = static_cast<std::int64_t>(argmax(scratch));
    central_difference(scratch);
    const std::int64_t d2_max = static_cast<std::int64_t>(argmax(scratch));
    mark.e = std::max(d2_max, kFirstBaselineEnd);
    mark.m2 = static_cast<std::int64_t>(argmin(scratch));
    mark.m0 = static_cast<std::int64_t>(argmin(y0));
    mark.raw_max = largest(y0);
    mark.falling = has_falling_baseline(y0, mark.m0);
    record.max_slope_index = static_cast<double>(mark.steepest);
    return mark;
}

// Writes baseline_start and baseline_end where the host left them 0 (3 and
// E - 1), and returns the window: the readings of cycles start .. end + 1.
// The ramp at the end needs a reading after the baseline, which a falling
// baseline always leaves (it moves the end to its minimum); the others are
// refused here, with the record as the window left it.
Vector baseline_window(WellRecord& record, const Vector& y0, const Landmarks& mark) {
    if (record.baseline_start == 0) record.baseline_start = kDefaultBaselineStart;
    if (record.baseline_end == 0) record.baseline_end = static_cast<std::int16_t>(mark.e - 1);
    Vector window = y0.slice(at(std::int64_t{record.baseline_start} - 1),
                             at(std::int64_t{record.baseline_end} + 1));
    if (!mark.falling && record.baseline_end > mark.n - 2) refuse_window();
    return window;
}

// Writes baseline_sd, and low_signal for a curve whose maximum stays below
// 300 (exactly 300 is not weak), which becomes the floor.
void check_signal(WellRecord& record, const Vector& window, const Landmarks& mark, Vector& w) {
    record.baseline_sd = population_sd(window);
    if (mark.raw_max < kSignalFloor) {
        w.assign_fill(kFloor, w.size());
        record.low_signal = 1;
    }
}

// Writes baseline_slope. A rising baseline is levelled around index E - 1,
// whose value stays where it was and which must lie on the curve.
void level_rising_baseline(WellRecord& record, const Vector& window, const Landmarks& mark, Vector& w) {
    Vector x;
    x.assign_sequence(static_cast<double>(record.baseline_start), 1.0, window.size());
    const LinearFit fit = linear_regression(x, window);
    if (fit.slope > 0) {
        if (mark.e > mark.n) refuse_window();
        const double pivot = fit.slope * static_cast<double>(mark.e) + fit.intercept;
        for (std::int64_t i = 0; i < mark.n; ++i) w[at(i)] -= fit.slope * static_cast<double>(i + 1) + fit.intercept;
        for (std::int64_t i = 0; i < mark.n; ++i) w[at(i)] += pivot;
    }
    record.baseline_slope = fit.slope;
}

// Writes max_corrected_slope, third_value and raw_max. The reading at index 2
// and the increments of record_step need four readings.
void record_levels(WellRecord& record, const Vector& y0, const Landmarks& mark, const Vector& w) {
    if (mark.n < 4) refuse_window();
    Vector slope = w;
    central_difference(slope);
    record.max_corrected_slope = largest(slope);
    record.third_value = y0[2];
    record.raw_max = mark.raw_max;
}

// Noisy early readings (from E = 10 on) are replaced by the level at E - 1.
void flatten_early_noise(const Landmarks& mark, Vector& w) {
    if (mark.e < kEarlyNoiseFrom) return;
    if (population_sd(w.slice(0, at(mark.e - 1))) > kEarlyNoiseLimit) {
        const double level = w[at(mark.e - 1)];
        for (std::int64_t i = 0; i < mark.e - 1; ++i) w[at(i)] = level;
    }
}

// Noisy late readings, four after the sharpest downward bend, become one
// level: their mean, or the first of them if that is higher.
void flatten_late_noise(const Landmarks& mark, Vector& w) {
    const std::int64_t late = mark.m2 + kOffset;
    if (!(late < mark.n && mark.m2 > mark.e)) return;
    const Vector tail = w.slice(at(late), at(mark.n));
    if (population_sd(tail) > kLateNoiseLimit) {
        const double tail_mean = mean(tail);
        const double level = std::max(w[at(late)], tail_mean);
        for (std::int64_t i = late; i < mark.n; ++i) w[at(i)] = level;
    }
}

// Writes baseline_end. A falling baseline discards the corrections above:
// the curve becomes the input less its minimum, floored before it.
void rebuild_from_minimum(WellRecord& record, const Vector& y0, const Landmarks& mark, Vector& w) {
    const double bottom = y0[at(mark.m0)];
    for (std::int64_t i = 0; i < mark.n; ++i) w[at(i)] = y0[at(i)] - bottom;
    for (std::int64_t i = 0; i < mark.m0; ++i) w[at(i)] = kFloor;
    const std::int64_t end = mark.m0 == mark.n - 1 ? mark.m0 - 1 : mark.m0;
    record.baseline_end = static_cast<std::int16_t>(end);
}

// Writes baseline_step: the larger of two cycle-to-cycle increments of the
// input, after E - 1 and after the minimum.
void record_step(WellRecord& record, const Vector& y0, const Landmarks& mark) {
    const std::int64_t ia = std::min(mark.e - 1, mark.n - kOffset);
    const std::int64_t ib = std::min(mark.m0, mark.n - kOffset);
    const double sa = y0[at(ia + 1)] - y0[at(ia)];
    const double sb = y0[at(ib + 1)] - y0[at(ib)];
    record.baseline_step = std::max(sa, sb);
}

// The first E readings average to zero, and nothing stays below the floor; a
// curve shorter than E ends here ("end" out of range).
void level_to_floor(const Landmarks& mark, Vector& w) {
    w -= mean(w.slice(0, at(mark.e)));
    for (double& value : w) value = std::max(value, kFloor);
}

// Writes no_growth for a curve that rises by less than 4 % over the four
// cycles up to the steepest point of the input, which becomes the floor.
void check_growth(WellRecord& record, const Vector& y0, const Landmarks& mark, Vector& w) {
    const std::int64_t j = std::max<std::int64_t>(mark.steepest - kOffset, 0);
    double base = y0[at(j)];
    if (base == 0.0) base = kUnitLevel;
    if ((y0[at(j + kOffset)] - base) / base < kMinimalGrowth) {
        w.assign_fill(kFloor, w.size());
        record.no_growth = 1;
    }
}

// The baseline becomes a doubling ramp up to the reading after it. The end
// checked by baseline_window can only have left the curve here when a
// falling baseline's minimum lies beyond what the 16-bit field holds.
void ramp_baseline(const WellRecord& record, const Landmarks& mark, Vector& w) {
    const std::int64_t e = record.baseline_end;
    if (e + 1 < 0 || e + 1 >= mark.n) refuse_window();
    if (w[at(e + 1)] <= kFloor) w[at(e + 1)] = kUnitLevel;
    w[0] = w[at(e + 1)] * maths::exp(static_cast<double>(-(e + 1)) * kRampExponent);
    for (std::int64_t i = 1; i <= e; ++i) w[at(i)] = maths::exp(static_cast<double>(i) * kRampExponent) * w[0];
}

// The curve stays at its peak.
void hold_peak(Vector& w) {
    const std::size_t peak_index = argmax(w);
    const double peak = w[peak_index];
    for (std::size_t i = peak_index; i < w.size(); ++i) w[i] = peak;
}

}  // namespace

Vector amplification_kernel() {
    static constexpr double kWeights[] = {0.45, 0.25, 0.15, 0.1, 0.05};
    return Vector::copy_of(kWeights, std::size(kWeights));
}

void correct_baseline(WellRecord& record, Vector& curve) {
    // The input stays untouched until the result replaces it at the end, so
    // it serves as the reference copy y0 throughout, and a failure leaves
    // the caller's curve as it was.
    const Vector& y0 = curve;
    const Landmarks mark = find_landmarks(record, y0);
    Vector w = curve;
    const Vector window = baseline_window(record, y0, mark);
    check_signal(record, window, mark, w);
    level_rising_baseline(record, window, mark, w);
    record_levels(record, y0, mark, w);
    flatten_early_noise(mark, w);
    flatten_late_noise(mark, w);
    if (mark.falling) rebuild_from_minimum(record, y0, mark, w);
    record_step(record, y0, mark);
    level_to_floor(mark, w);
    check_growth(record, y0, mark, w);
    ramp_baseline(record, mark, w);
    hold_peak(w);
    curve = std::move(w);
}

}  // namespace quelmar
