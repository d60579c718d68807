// The curve primitives of the amplification analysis, against hand-worked values.
#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <limits>
#include <stdexcept>

#include "amplification/curve_primitives.h"
#include "expect_throw.h"
#include "numeric/vector.h"

namespace {

using quelmar::amplification_kernel;
using quelmar::argmax;
using quelmar::argmin;
using quelmar::central_difference;
using quelmar::Vector;
using quelmar::weighted_kernel_filter;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Vector vec(std::initializer_list<double> values) { return Vector::copy_of(values.begin(), values.size()); }

Vector ramp(int n) {
    Vector v;
    v.assign_sequence(0.0, 1.0, static_cast<std::size_t>(n));
    return v;
}

// Sums of five products: exact up to a few rounding steps.
constexpr double kSumTolerance = 1e-12;

TEST(WeightedKernelFilter, RisingCurvePadsWithTheEdgeReadings) {
    // 0..9: left pad max(1, 0.5) = 1, right pad max(9, (6 + 7) / 2) = 9.
    Vector v = ramp(10);
    weighted_kernel_filter(amplification_kernel(), v);
    ASSERT_EQ(v.size(), 10u);
    EXPECT_NEAR(v[0], 0.9, kSumTolerance);   // .45*1 + .25*1 + .15*0 + .1*1 + .05*2
    EXPECT_NEAR(v[1], 0.95, kSumTolerance);  // .45*1 + .25*0 + .15*1 + .1*2 + .05*3
    EXPECT_NEAR(v[2], 1.05, kSumTolerance);
    EXPECT_NEAR(v[5], 4.05, kSumTolerance);  // interior: i - 0.95
    EXPECT_NEAR(v[8], 7.0, kSumTolerance);
    EXPECT_NEAR(v[9], 7.85, kSumTolerance);  // .45*7 + .25*8 + .15*9 + .1*9 + .05*9
}

TEST(WeightedKernelFilter, FallingCurvePadsWithTheMeansWhenLarger) {
    // 9..0: left pad max(8, 8.5) = 8.5; right pad max(0, (3 + 2) / 2) = 2.5,
    // the mean of the two readings before the last two, not of the last two.
    Vector v = vec({9, 8, 7, 6, 5, 4, 3, 2, 1, 0});
    weighted_kernel_filter(amplification_kernel(), v);
    EXPECT_NEAR(v[0], 0.45 * 8.5 + 0.25 * 8.5 + 0.15 * 9 + 0.1 * 8 + 0.05 * 7, kSumTolerance);
    EXPECT_NEAR(v[9], 0.45 * 2 + 0.25 * 1 + 0.15 * 0 + 0.1 * 2.5 + 0.05 * 2.5, kSumTolerance);
    EXPECT_NEAR(v[8], 0.45 * 3 + 0.25 * 2 + 0.15 * 1 + 0.1 * 0 + 0.05 * 2.5, kSumTolerance);
}

TEST(WeightedKernelFilter, ConstantCurveStaysConstant) {
    Vector v(12, 1234.5);
    weighted_kernel_filter(amplification_kernel(), v);
    for (double x : v) EXPECT_DOUBLE_EQ(x, 1234.5);
}

TEST(WeightedKernelFilter, RefusesWhatItsPadsCannotReach) {
    Vector three = vec({1, 2, 3});
    EXPECT_THROW_MSG(weighted_kernel_filter(amplification_kernel(), three), std::invalid_argument,
                     "数组过少无法操作。");
    EXPECT_EQ(three[2], 3.0);  // untouched
    Vector v = ramp(6);
    EXPECT_THROW_MSG(weighted_kernel_filter(vec({1.0}), v), std::invalid_argument, "数组过少无法操作。");
    Vector four = ramp(4);  // exactly twice the half-kernel
    EXPECT_NO_THROW(weighted_kernel_filter(amplification_kernel(), four));
}

TEST(Extremes, TiesKeepTheFirstIndex) {
    EXPECT_EQ(argmax(vec({1, 3, 3, 2})), 1u);
    EXPECT_EQ(argmin(vec({2, 1, 1, 5})), 1u);
    EXPECT_EQ(argmax(vec({-4})), 0u);
}

TEST(Extremes, EmptyGivesZero) {
    EXPECT_EQ(argmax(Vector()), 0u);
    EXPECT_EQ(argmin(Vector()), 0u);
}

TEST(Extremes, NaNNeverWinsAfterTheStart) {
    EXPECT_EQ(argmax(vec({1, kNaN, 0.5, 2})), 3u);
    EXPECT_EQ(argmin(vec({1, kNaN, 0.5, 2})), 2u);
    // Nothing compares greater or smaller than a leading NaN.
    EXPECT_EQ(argmax(vec({kNaN, 5, 7})), 0u);
    EXPECT_EQ(argmin(vec({kNaN, -5, -7})), 0u);
}

TEST(CentralDifference, CopiesTheEndsFromTheirNeighbours) {
    Vector v = vec({1, 4, 9, 16});
    central_difference(v);
    ASSERT_EQ(v.size(), 4u);
    EXPECT_EQ(v[0], 4.0);
    EXPECT_EQ(v[1], 4.0);
    EXPECT_EQ(v[2], 6.0);
    EXPECT_EQ(v[3], 6.0);
}

TEST(CentralDifference, TwoReadingsGiveZeros) {
    Vector v = vec({3, 8});
    central_difference(v);
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0], 0.0);
    EXPECT_EQ(v[1], 0.0);
}

}  // namespace
