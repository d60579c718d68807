// Baseline correction of one well: hand-worked curves, the record it fills,
// and the windows it refuses.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <stdexcept>

#include "QuelmarAlg.h"
#include "amplification/baseline.h"
#include "expect_throw.h"
#include "numeric/vector.h"

namespace {

using quelmar::correct_baseline;
using quelmar::Vector;

constexpr double kRamp = 0.69314;

// A zeroed record with some output fields marked, to tell which were written.
FittingResult marked() {
    FittingResult r;
    std::memset(&r, 0, sizeof r);
    r.max_slope_index = r.baseline_sd = r.baseline_step = -1;
    return r;
}

// A baseline of 100 and a logistic rise of 5000 around cycle 22.
Vector growing_curve(int n) {
    Vector v(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) v[static_cast<std::size_t>(i)] = 100.0 + 5000.0 / (1.0 + std::exp(-0.7 * (i + 1 - 22)));
    return v;
}

TEST(CorrectBaseline, FlatAndNonGrowingCurvesBecomeARampToOne) {
    FittingResult flat = marked();
    Vector w(15, 100.0);
    correct_baseline(flat, w);
    EXPECT_EQ(flat.baseline_start, 3);
    EXPECT_EQ(flat.baseline_end, 8);
    EXPECT_EQ(flat.baseline_sd, 0.0);
    EXPECT_EQ(flat.baseline_slope, 0.0);
    EXPECT_EQ(flat.baseline_step, 0.0);
    EXPECT_EQ(flat.low_signal, 1);
    EXPECT_EQ(flat.no_growth, 1);

    // 1000, 1001, ...: strong enough, but 4 / 1000 is below 4 % growth.
    FittingResult slow = marked();
    Vector v;
    v.assign_sequence(1000.0, 1.0, 15);
    correct_baseline(slow, v);
    EXPECT_EQ(slow.low_signal, 0);
    EXPECT_EQ(slow.no_growth, 1);
    EXPECT_EQ(slow.baseline_slope, 1.0);
    EXPECT_EQ(slow.baseline_step, 1.0);

    // Both: a doubling ramp up to index 8, about half-way to 1.0, then 1.0.
    for (const Vector& out : {w, v}) {
        for (std::size_t i = 0; i <= 8; ++i)
            EXPECT_NEAR(out[i], std::exp((static_cast<double>(i) - 9.0) * kRamp), 1e-15) << i;
        EXPECT_NEAR(out[8], 0.5, 1e-5);
        for (std::size_t i = 9; i < out.size(); ++i) EXPECT_EQ(out[i], 1.0) << i;
    }

    FittingResult at_floor = marked();
    Vector floor(12, 300.0);
    correct_baseline(at_floor, floor);
    EXPECT_EQ(at_floor.low_signal, 0);  // a maximum of exactly 300 is not weak
    Vector weak(12, 299.99);
    correct_baseline(at_floor, weak);
    EXPECT_EQ(at_floor.low_signal, 1);
}

TEST(CorrectBaseline, GrowingCurveBecomesRampThenRiseThenPlateau) {
    FittingResult r = marked();
    const Vector input = growing_curve(40);
    Vector w = input;
    correct_baseline(r, w);
    EXPECT_EQ(r.low_signal + r.no_growth, 0);
    EXPECT_GE(r.baseline_end, 15);  // before the steepest bend of the rise
    EXPECT_LE(r.baseline_end, 20);
    EXPECT_EQ(r.third_value, input[2]);
    EXPECT_EQ(r.raw_max, input[39]);
    EXPECT_EQ(r.max_slope_index, 21.0);  // cycle 22, the midpoint
    const std::size_t e = static_cast<std::size_t>(r.baseline_end);
    EXPECT_NEAR(w[e] / w[e + 1], std::exp(-kRamp), 1e-12);  // the ramp halves back from e + 1
    EXPECT_GE(w[e + 1], 0.01);
    for (std::size_t i = 1; i < w.size(); ++i) EXPECT_GE(w[i], w[i - 1]) << i;  // this curve never dips

    // The record keeps its window for a second analysis, and its flags are
    // never cleared; they only report: the curve comes out the same.
    r.low_signal = r.no_growth = 1;
    Vector again = input;
    correct_baseline(r, again);
    EXPECT_EQ(r.baseline_end, static_cast<std::int16_t>(e));
    EXPECT_EQ(r.low_signal + r.no_growth, 2);
    for (std::size_t i = 0; i < w.size(); ++i) EXPECT_EQ(again[i], w[i]) << i;

    // A host window is kept, and read at indices start - 1 .. end.
    FittingResult host = marked();
    host.baseline_start = 3;
    host.baseline_end = 12;
    w = input;
    correct_baseline(host, w);
    EXPECT_EQ(host.baseline_start, 3);
    EXPECT_EQ(host.baseline_end, 12);
    EXPECT_EQ(host.baseline_sd, std::sqrt(quelmar::sum_sq_dev(input.slice(2, 13)) / 11.0));
}

TEST(CorrectBaseline, FallingBaselineIsRebuiltFromItsMinimum) {
    // Falls by 10 per cycle from 1000 to its minimum 800 at index 20, then
    // rises as 800 + 100 (i - 20)^2.
    Vector y0(30);
    for (int i = 0; i < 30; ++i)
        y0[static_cast<std::size_t>(i)] = i <= 20 ? 1000.0 - 10.0 * i : 800.0 + 100.0 * (i - 20) * (i - 20);
    FittingResult r = marked();
    r.baseline_start = 3;
    r.baseline_end = 29;  // the last reading: moving the end to the minimum leaves readings after it
    Vector w = y0;
    correct_baseline(r, w);
    EXPECT_EQ(r.baseline_end, 20);
    // E = 22 (the first largest second derivative), so the step compares
    // y0[22] - y0[21] = 300 with y0[21] - y0[20] = 100.
    EXPECT_EQ(r.baseline_step, 300.0);
    EXPECT_EQ(r.no_growth, 0);
    // y0 - 800, with 0.01 before the minimum, levelled by the mean of its
    // first 22 readings: twenty times 0.01, then 0 and 100.
    double sum = 0.0;
    for (int i = 0; i < 20; ++i) sum += 0.01;
    const double level = (sum + 0.0 + 100.0) / 22.0;
    for (std::size_t i = 21; i < 30; ++i) EXPECT_EQ(w[i], (y0[i] - 800.0) - level) << i;
    // Pinned arithmetic of the ramp: w0 from the reading after it, then
    // exp(i k) w0.
    const double first = w[21] * std::exp(-21 * kRamp);
    EXPECT_EQ(w[0], first);
    for (std::size_t i = 1; i <= 20; ++i) EXPECT_EQ(w[i], std::exp(static_cast<double>(i) * kRamp) * first) << i;
}

// Windows that leave no reading after the baseline, or that the levelling
// would read past, are refused with the record as the window check left it
// and the curve unchanged.
TEST(CorrectBaseline, RefusesWindowsItCannotFinish) {
    const struct {
        int n;
        std::int16_t start, end, end_after;
        bool noise_written;
    } cases[] = {
        {20, 0, 19, 19, false},  // host end at the last reading
        {9, 0, 0, 8, false},     // the default end is the last reading
        // The window fits, but a rising baseline pivots on reading 8, which a
        // six-reading curve lacks: refused after the noise is recorded.
        {6, 1, 3, 3, true},
    };
    for (const auto& c : cases) {
        FittingResult r = marked();
        r.baseline_start = c.start;
        r.baseline_end = c.end;
        const Vector input = growing_curve(c.n);
        Vector w = input;
        EXPECT_THROW_MSG(correct_baseline(r, w), std::out_of_range, "end下标越界。");
        EXPECT_EQ(r.baseline_start, c.start == 0 ? 3 : c.start) << c.n;
        EXPECT_EQ(r.baseline_end, c.end_after) << c.n;
        EXPECT_NE(r.max_slope_index, -1.0) << c.n;  // written before the window
        EXPECT_EQ(r.baseline_sd != -1.0, c.noise_written) << c.n;
        EXPECT_EQ(r.baseline_step, -1.0) << c.n;
        for (std::size_t i = 0; i < w.size(); ++i) EXPECT_EQ(w[i], input[i]) << c.n;
    }

    // A falling eight-reading curve with a host window runs up to the
    // levelling, which needs nine readings: everything before it is recorded.
    {
        FittingResult r = marked();
        r.baseline_start = 1;
        r.baseline_end = 3;
        const double falling[] = {2000, 1900, 1800, 1700, 1600, 1500, 1400, 1300};
        Vector w = Vector::copy_of(falling, 8);
        EXPECT_THROW_MSG(correct_baseline(r, w), std::out_of_range, "end下标越界。");
        EXPECT_EQ(r.baseline_slope, -100.0);
        EXPECT_EQ(r.third_value, 1800.0);
        EXPECT_EQ(r.raw_max, 2000.0);
        EXPECT_EQ(r.max_corrected_slope, -100.0);
        EXPECT_EQ(r.baseline_step, -100.0);
        EXPECT_EQ(w[0], 2000.0);  // the curve is unchanged
    }

    // Without two readings there is no derivative: the record is not touched.
    const FittingResult before = marked();
    FittingResult r = before;
    Vector one(1, 5.0);
    EXPECT_THROW_MSG(correct_baseline(r, one), std::out_of_range, "end下标越界。");
    EXPECT_EQ(std::memcmp(&r, &before, sizeof r), 0);

    // A start after the end, or before the curve.
    r.baseline_start = 10;
    r.baseline_end = 5;
    Vector w = growing_curve(30);
    EXPECT_THROW_MSG(correct_baseline(r, w), std::range_error, "开始下标不能大于结束下标。");
    r.baseline_start = -4;
    r.baseline_end = -3;
    EXPECT_THROW_MSG(correct_baseline(r, w), std::out_of_range, "end下标越界。");
    EXPECT_EQ(r.baseline_sd, -1.0);
}

}  // namespace
