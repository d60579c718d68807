#include "amplification/baseline.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <utility>

#include "amplification/curve_primitives.h"
#include "fitting/linear_regression.h"
#include "frame/messages.h"

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

// The record keeps the window in 16-bit fields.
std::int16_t to_field(std::int64_t value) { return static_cast<std::int16_t>(value); }

// A negative window index becomes a huge unsigned one, which Vector::slice
// refuses like any other window outside the curve: it never reads before it.
std::size_t to_slice_index(std::int64_t value) { return static_cast<std::size_t>(value); }

[[noreturn]] void refuse_window() { throw std::out_of_range(msg::kSliceEndOutOfRange); }

// A minimum after the first ten readings that lies below the mean of every
// reading before it: a baseline that keeps falling. Such a curve is rebuilt
// from that minimum, which also moves the end of its baseline there.
bool has_falling_baseline(const Vector& y0, std::int64_t m0) {
    if (m0 <= kFirstBaselineEnd) return false;
    double sum = 0.0;
    for (std::int64_t i = 0; i < m0; ++i) sum += y0[static_cast<std::size_t>(i)];
    return sum / static_cast<double>(m0) > y0[static_cast<std::size_t>(m0)];
}

}  // namespace

void correct_baseline(FittingResult& record, Vector& curve) {
    // The input stays untouched until the result replaces it at the end, so
    // it serves as the reference copy y0 throughout, and a failure leaves
    // the caller's curve as it was.
    const Vector& y0 = curve;
    const std::int64_t n = static_cast<std::int64_t>(curve.size());
    // Without two readings there is no derivative, and every window reaches
    // past the curve.
    if (n < 2) refuse_window();
    const auto at = [](std::int64_t i) { return static_cast<std::size_t>(i); };

    // Only the positions of the extremes of the first and second derivatives
    // are needed, so one scratch vector holds both in turn.
    Vector w = curve;
    Vector scratch = curve;
    central_difference(scratch);
    const std::int64_t steepest = static_cast<std::int64_t>(argmax(scratch));
    central_difference(scratch);
    const std::int64_t d2_max = static_cast<std::int64_t>(argmax(scratch));
    const std::int64_t e_level = d2_max > kFirstBaselineEnd ? d2_max : kFirstBaselineEnd;  // E
    const std::int64_t m2 = static_cast<std::int64_t>(argmin(scratch));
    const std::int64_t m0 = static_cast<std::int64_t>(argmin(y0));
    const double raw_max = largest(y0);
    record.max_slope_index = static_cast<double>(steepest);

    // The baseline window; a host's choice is kept.
    if (record.baseline_start == 0) record.baseline_start = kDefaultBaselineStart;
    if (record.baseline_end == 0) record.baseline_end = to_field(e_level - 1);
    const std::int64_t start = record.baseline_start;
    const Vector window = y0.slice(to_slice_index(start - 1), to_slice_index(std::int64_t{record.baseline_end} + 1));
    // The ramp at the end needs a reading after the baseline, which a
    // falling baseline always leaves (it moves the end to its minimum).
    // Refuse the others here, with the record as the window left it.
    const bool falling = has_falling_baseline(y0, m0);
    if (!falling && record.baseline_end > n - 2) refuse_window();

    // Baseline noise.
    record.baseline_sd = population_sd(window);

    // Weak signal (a maximum of exactly the floor is not weak).
    if (raw_max < kSignalFloor) {
        w.assign_fill(kFloor, curve.size());
        record.low_signal = 1;
    }

    // A rising baseline is levelled around index E - 1, whose value
    // stays where it was.
    Vector x;
    x.assign_sequence(static_cast<double>(start), 1.0, window.size());
    const LinearFit fit = linear_regression(x, window);
    if (fit.slope > 0) {
        // The pivot reading E - 1 must lie on the curve.
        if (e_level > n) refuse_window();
        const double pivot = fit.slope * static_cast<double>(e_level) + fit.intercept;
        for (std::int64_t i = 0; i < n; ++i) w[at(i)] -= fit.slope * static_cast<double>(i + 1) + fit.intercept;
        for (std::int64_t i = 0; i < n; ++i) w[at(i)] += pivot;
    }
    record.baseline_slope = fit.slope;

    // The reading at index 2 and the increments below need four readings.
    if (n < 4) refuse_window();
    scratch.copy_from(w);
    central_difference(scratch);
    record.max_corrected_slope = largest(scratch);
    record.third_value = y0[2];
    record.raw_max = raw_max;

    // Noisy early readings are replaced by the level at E - 1.
    if (e_level >= kEarlyNoiseFrom) {
        if (population_sd(w.slice(0, at(e_level - 1))) > kEarlyNoiseLimit) {
            const double level = w[at(e_level - 1)];
            for (std::int64_t i = 0; i < e_level - 1; ++i) w[at(i)] = level;
        }
    }

    // Noisy late readings become one level.
    const std::int64_t late = m2 + kOffset;
    if (late < n && m2 > e_level) {
        const Vector tail = w.slice(at(late), at(n));
        if (population_sd(tail) > kLateNoiseLimit) {
            const double tail_mean = mean(tail);
            const double level = tail_mean > w[at(late)] ? tail_mean : w[at(late)];
            for (std::int64_t i = late; i < n; ++i) w[at(i)] = level;
        }
    }

    // A falling baseline discards the corrections above.
    if (falling) {
        const double bottom = y0[at(m0)];
        for (std::int64_t i = 0; i < n; ++i) w[at(i)] = y0[at(i)] - bottom;
        for (std::int64_t i = 0; i < m0; ++i) w[at(i)] = kFloor;
        record.baseline_end = to_field(m0 == n - 1 ? m0 - 1 : m0);
    }

    // The larger of two cycle-to-cycle increments of the input.
    const std::int64_t ia = e_level - 1 < n - kOffset ? e_level - 1 : n - kOffset;
    const std::int64_t ib = m0 >= n - kOffset ? n - kOffset : m0;
    const double sa = y0[at(ia + 1)] - y0[at(ia)];
    const double sb = y0[at(ib + 1)] - y0[at(ib)];
    record.baseline_step = sb > sa ? sb : sa;

    // The first E readings average to zero; a curve shorter than E ends
    // here ("end" out of range).
    w -= mean(w.slice(0, at(e_level)));

    for (double& value : w)
        if (value <= kFloor) value = kFloor;

    // Growth around the steepest point of the input.
    const std::int64_t j = steepest - kOffset < 0 ? 0 : steepest - kOffset;
    double base = y0[at(j)];
    if (base == 0.0) base = kUnitLevel;
    if ((y0[at(j + kOffset)] - base) / base < kMinimalGrowth) {
        w.assign_fill(kFloor, curve.size());
        record.no_growth = 1;
    }

    // The baseline becomes a doubling ramp up to the reading after it. The
    // end checked above can only have left the curve here when a falling
    // baseline's minimum lies beyond what the 16-bit field holds.
    const std::int64_t e = record.baseline_end;
    if (e + 1 < 0 || e + 1 >= n) refuse_window();
    if (w[at(e + 1)] <= kFloor) w[at(e + 1)] = kUnitLevel;
    w[0] = w[at(e + 1)] * std::exp(static_cast<double>(-(e + 1)) * kRampExponent);
    for (std::int64_t i = 1; i <= e; ++i) w[at(i)] = std::exp(static_cast<double>(i) * kRampExponent) * w[0];

    // The curve stays at its peak.
    const std::size_t peak_index = argmax(w);
    const double peak = w[peak_index];
    for (std::size_t i = peak_index; i < w.size(); ++i) w[i] = peak;

    curve = std::move(w);
}

void condition_curve(FittingResult& record, Vector& curve) {
    correct_baseline(record, curve);
    weighted_kernel_filter(amplification_kernel(), curve);
}

}  // namespace quelmar
