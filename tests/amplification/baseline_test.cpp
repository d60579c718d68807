// Baseline correction of one well: hand-worked curves, the record it fills,
// and the windows it refuses.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <stdexcept>

#include "QuelmarAlg.h"
#include "amplification/baseline.h"
#include "expect_throw.h"
#include "fitting/linear_regression.h"
#include "numeric/vector.h"

namespace {

using quelmar::correct_baseline;
using quelmar::Vector;

constexpr double kRamp = 0.69314;

FittingResult zeroed() {
    FittingResult r;
    std::memset(&r, 0, sizeof r);
    return r;
}

// Marks every output field so that a test can tell which ones were written.
FittingResult marked() {
    FittingResult r = zeroed();
    r.max_slope_index = -1;
    r.amplification_ratio = -1;
    r.baseline_step = -1;
    r.max_corrected_slope = -1;
    r.third_value = -1;
    r.raw_max = -1;
    r.baseline_slope = -1;
    r.baseline_sd = -1;
    return r;
}

bool same_bytes(const FittingResult& a, const FittingResult& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// An amplification curve: a baseline of 100 and a logistic rise of 5000
// around cycle 22.
Vector growing_curve(int n) {
    Vector v(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) v[static_cast<std::size_t>(i)] = 100.0 + 5000.0 / (1.0 + std::exp(-0.7 * (i + 1 - 22)));
    return v;
}

// Falls by 10 per cycle from 1000 to its minimum 800 at index 20, then rises
// as 800 + 100 (i - 20)^2.
Vector falling_then_rising() {
    Vector v(30);
    for (int i = 0; i < 30; ++i)
        v[static_cast<std::size_t>(i)] = i <= 20 ? 1000.0 - 10.0 * i : 800.0 + 100.0 * (i - 20) * (i - 20);
    return v;
}

// What a flat or non-growing curve becomes: a doubling ramp up to index 8
// ending about half-way to 1.0, and 1.0 from index 9 on.
void expect_flat_shape(const Vector& w) {
    const double first = 1.0 * std::exp(-9 * kRamp);
    EXPECT_EQ(w[0], first);
    for (std::size_t i = 1; i <= 8; ++i) {
        EXPECT_EQ(w[i], std::exp(static_cast<double>(i) * kRamp) * first) << i;
        EXPECT_NEAR(w[i], std::exp((static_cast<double>(i) - 9.0) * kRamp), 1e-15) << i;
    }
    EXPECT_NEAR(w[8], 0.5, 1e-5);
    for (std::size_t i = 9; i < w.size(); ++i) EXPECT_EQ(w[i], 1.0) << i;
}

TEST(CorrectBaseline, FlatCurve) {
    FittingResult r = zeroed();
    Vector w(15, 100.0);
    correct_baseline(r, w);
    ASSERT_EQ(w.size(), 15u);
    EXPECT_EQ(r.baseline_start, 3);
    EXPECT_EQ(r.baseline_end, 8);
    EXPECT_EQ(r.baseline_sd, 0.0);
    EXPECT_EQ(r.baseline_slope, 0.0);
    EXPECT_EQ(r.baseline_step, 0.0);
    EXPECT_EQ(r.max_slope_index, 0.0);
    EXPECT_EQ(r.max_corrected_slope, 0.0);
    EXPECT_EQ(r.third_value, 100.0);
    EXPECT_EQ(r.raw_max, 100.0);
    EXPECT_EQ(r.low_signal, 1);
    EXPECT_EQ(r.no_growth, 1);
    EXPECT_EQ(r.amplification_ratio, 0.0);  // not this routine's field
    expect_flat_shape(w);
}

TEST(CorrectBaseline, SlowRiseHasNoGrowth) {
    // 1000, 1001, ...: strong enough, but 4 / 1000 is below 4 % growth.
    FittingResult r = zeroed();
    Vector w;
    w.assign_sequence(1000.0, 1.0, 15);
    correct_baseline(r, w);
    EXPECT_EQ(r.low_signal, 0);
    EXPECT_EQ(r.no_growth, 1);
    EXPECT_EQ(r.baseline_slope, 1.0);
    EXPECT_EQ(r.baseline_end, 8);
    EXPECT_EQ(r.baseline_step, 1.0);
    expect_flat_shape(w);
}

TEST(CorrectBaseline, MaximumOfExactly300IsNotWeak) {
    FittingResult at_floor = zeroed();
    Vector w(12, 300.0);
    correct_baseline(at_floor, w);
    EXPECT_EQ(at_floor.low_signal, 0);

    FittingResult below = zeroed();
    Vector v(12, 299.99);
    correct_baseline(below, v);
    EXPECT_EQ(below.low_signal, 1);
}

TEST(CorrectBaseline, FlagsAreNeverCleared) {
    FittingResult fresh = zeroed();
    Vector w = growing_curve(40);
    correct_baseline(fresh, w);
    EXPECT_EQ(fresh.low_signal, 0);
    EXPECT_EQ(fresh.no_growth, 0);

    FittingResult flagged = zeroed();
    flagged.low_signal = 1;
    flagged.no_growth = 1;
    Vector v = growing_curve(40);
    correct_baseline(flagged, v);
    EXPECT_EQ(flagged.low_signal, 1);
    EXPECT_EQ(flagged.no_growth, 1);
    // The flags only report; the curve is corrected all the same.
    for (std::size_t i = 0; i < v.size(); ++i) EXPECT_EQ(v[i], w[i]) << i;
}

TEST(CorrectBaseline, GrowingCurveBecomesRampThenRiseThenPlateau) {
    FittingResult r = zeroed();
    const Vector input = growing_curve(40);
    Vector w = input;
    correct_baseline(r, w);
    EXPECT_EQ(r.low_signal, 0);
    EXPECT_EQ(r.no_growth, 0);
    EXPECT_EQ(r.baseline_start, 3);
    // The default end lies before the steepest bend of the rise at ~cycle 20.
    EXPECT_GE(r.baseline_end, 15);
    EXPECT_LE(r.baseline_end, 20);
    EXPECT_EQ(r.third_value, input[2]);
    EXPECT_EQ(r.raw_max, input[39]);
    EXPECT_EQ(r.max_slope_index, 21.0);  // cycle 22, the midpoint
    const std::size_t e = static_cast<std::size_t>(r.baseline_end);
    EXPECT_NEAR(w[e] / w[e + 1], std::exp(-kRamp), 1e-12);  // the ramp halves back from e + 1
    // The ramp halves back towards zero; from the end of the baseline on
    // nothing lies below the floor.
    EXPECT_GT(w[0], 0.0);
    for (std::size_t i = e + 1; i < w.size(); ++i) EXPECT_GE(w[i], 0.01);
    for (std::size_t i = 1; i < w.size(); ++i) EXPECT_GE(w[i], w[i - 1]) << i;  // this curve never dips
}

TEST(CorrectBaseline, HostWindowIsKept) {
    FittingResult r = zeroed();
    r.baseline_start = 3;
    r.baseline_end = 12;
    const Vector input = growing_curve(40);
    Vector w = input;
    correct_baseline(r, w);
    EXPECT_EQ(r.baseline_start, 3);
    EXPECT_EQ(r.baseline_end, 12);
    // The window is the readings at indices 2..12 (cycles 3..13).
    double sum = 0.0;
    for (std::size_t i = 2; i <= 12; ++i) sum += input[i];
    const double m = sum / 11.0;
    double squares = 0.0;
    for (std::size_t i = 2; i <= 12; ++i) squares += (input[i] - m) * (input[i] - m);
    EXPECT_EQ(r.baseline_sd, std::sqrt(squares / 11.0));
    Vector x;
    x.assign_sequence(3.0, 1.0, 11);
    EXPECT_EQ(r.baseline_slope, quelmar::linear_regression(x, input.slice(2, 13)).slope);

    // A second analysis with the same record uses the same window.
    Vector again = input;
    correct_baseline(r, again);
    EXPECT_EQ(r.baseline_end, 12);
    for (std::size_t i = 0; i < w.size(); ++i) EXPECT_EQ(again[i], w[i]) << i;
}

TEST(CorrectBaseline, FallingBaselineIsRebuiltFromItsMinimum) {
    FittingResult r = zeroed();
    const Vector y0 = falling_then_rising();
    Vector w = y0;
    correct_baseline(r, w);
    EXPECT_EQ(r.baseline_end, 20);  // the minimum
    // E = 22 (the first largest second derivative), so the step compares
    // y0[22] - y0[21] = 300 with y0[21] - y0[20] = 100.
    EXPECT_EQ(r.baseline_step, 300.0);
    EXPECT_LT(r.baseline_slope, 0.0);
    EXPECT_EQ(r.no_growth, 0);

    // y0 - 800, with 0.01 before the minimum, levelled by the mean of its
    // first 22 readings: twenty times 0.01, then 0 and 100.
    double sum = 0.0;
    for (int i = 0; i < 20; ++i) sum += 0.01;
    sum += 0.0;
    sum += 100.0;
    const double level = sum / 22.0;
    for (std::size_t i = 21; i < 30; ++i) EXPECT_EQ(w[i], (y0[i] - 800.0) - level) << i;
    // Then the ramp up to the minimum.
    const double first = w[21] * std::exp(-21 * kRamp);
    EXPECT_EQ(w[0], first);
    for (std::size_t i = 1; i <= 20; ++i) EXPECT_EQ(w[i], std::exp(static_cast<double>(i) * kRamp) * first) << i;
}

// Windows that cannot be finished are refused with the record as the window
// left it and the curve unchanged.
TEST(CorrectBaselineRefuses, HostEndAtTheLastReading) {
    FittingResult r = marked();
    r.baseline_end = 19;
    const Vector input = growing_curve(20);
    Vector w = input;
    EXPECT_THROW_MSG(correct_baseline(r, w), std::out_of_range, "end下标越界。");
    EXPECT_EQ(r.baseline_start, 3);  // defaulted before the refusal
    EXPECT_EQ(r.baseline_end, 19);
    EXPECT_NE(r.max_slope_index, -1.0);  // written before the window
    EXPECT_EQ(r.baseline_sd, -1.0);
    EXPECT_EQ(r.baseline_slope, -1.0);
    EXPECT_EQ(r.baseline_step, -1.0);
    EXPECT_EQ(r.low_signal, 0);
    for (std::size_t i = 0; i < w.size(); ++i) EXPECT_EQ(w[i], input[i]);
}

TEST(CorrectBaselineRefuses, NineReadingsWithTheDefaultWindow) {
    // The default window ends at index 8, the last reading.
    FittingResult r = marked();
    Vector w(9, 500.0);
    EXPECT_THROW_MSG(correct_baseline(r, w), std::out_of_range, "end下标越界。");
    EXPECT_EQ(r.baseline_start, 3);
    EXPECT_EQ(r.baseline_end, 8);
    EXPECT_EQ(r.max_slope_index, 0.0);
    EXPECT_EQ(r.baseline_sd, -1.0);
    EXPECT_EQ(r.low_signal, 0);
    EXPECT_EQ(w[8], 500.0);

    FittingResult shorter = marked();
    Vector eight(8, 500.0);
    EXPECT_THROW_MSG(correct_baseline(shorter, eight), std::out_of_range, "end下标越界。");
    EXPECT_EQ(shorter.baseline_end, 8);
}

TEST(CorrectBaselineRefuses, HostWindowOnACurveTooShortToLevel) {
    // The window fits, but levelling needs the first nine readings.
    FittingResult r = marked();
    r.baseline_start = 1;
    r.baseline_end = 3;
    Vector w(6, 500.0);
    EXPECT_THROW_MSG(correct_baseline(r, w), std::out_of_range, "end下标越界。");
    EXPECT_EQ(r.baseline_sd, -1.0);
    EXPECT_EQ(r.third_value, -1.0);
}

TEST(CorrectBaselineRefuses, StartAfterEndOrBeforeTheCurve) {
    FittingResult r = marked();
    r.baseline_start = 10;
    r.baseline_end = 5;
    Vector w = growing_curve(30);
    EXPECT_THROW_MSG(correct_baseline(r, w), std::range_error, "开始下标不能大于结束下标。");
    EXPECT_EQ(r.baseline_sd, -1.0);

    FittingResult negative = marked();
    negative.baseline_start = -2;
    negative.baseline_end = 5;
    EXPECT_THROW_MSG(correct_baseline(negative, w), std::range_error, "开始下标不能大于结束下标。");
    negative.baseline_start = -4;
    negative.baseline_end = -3;
    EXPECT_THROW_MSG(correct_baseline(negative, w), std::out_of_range, "end下标越界。");
}

TEST(CorrectBaselineRefuses, FewerThanTwoReadingsWithoutTouchingTheRecord) {
    const FittingResult before = marked();
    FittingResult r = before;
    Vector empty;
    EXPECT_THROW_MSG(correct_baseline(r, empty), std::out_of_range, "end下标越界。");
    Vector one(1, 5.0);
    EXPECT_THROW_MSG(correct_baseline(r, one), std::out_of_range, "end下标越界。");
    EXPECT_TRUE(same_bytes(r, before));
}

TEST(CorrectBaseline, HostEndAtTheLastReadingPassesWhenTheBaselineFalls) {
    // The falling baseline moves the end to its minimum, leaving readings
    // after it.
    FittingResult r = zeroed();
    r.baseline_start = 3;
    r.baseline_end = 29;
    Vector w = falling_then_rising();
    EXPECT_NO_THROW(correct_baseline(r, w));
    EXPECT_EQ(r.baseline_end, 20);
}

}  // namespace
