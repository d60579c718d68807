// The curve primitives of the amplification analysis, against hand-worked values.
#include <gtest/gtest.h>

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
using quelmar::Vector;
using quelmar::weighted_kernel_filter;

Vector vec(std::initializer_list<double> values) { return Vector::copy_of(values.begin(), values.size()); }

constexpr double kSumTolerance = 1e-12;  // sums of five products

TEST(WeightedKernelFilter, HandWorkedCurves) {
    // 0..9: left pad max(1, 0.5) = 1, right pad max(9, (6 + 7) / 2) = 9.
    Vector rising = vec({0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    weighted_kernel_filter(amplification_kernel(), rising);
    EXPECT_NEAR(rising[0], 0.9, kSumTolerance);  // .45*1 + .25*1 + .15*0 + .1*1 + .05*2
    EXPECT_NEAR(rising[2], 1.05, kSumTolerance);
    EXPECT_NEAR(rising[8], 7.0, kSumTolerance);
    EXPECT_NEAR(rising[9], 7.85, kSumTolerance);  // .45*7 + .25*8 + .15*9 + .1*9 + .05*9

    // 9..0: left pad max(8, 8.5) = 8.5; right pad max(0, (3 + 2) / 2) = 2.5,
    // the mean of the two readings before the last two, not of the last two.
    Vector falling = vec({9, 8, 7, 6, 5, 4, 3, 2, 1, 0});
    weighted_kernel_filter(amplification_kernel(), falling);
    EXPECT_NEAR(falling[0], 0.45 * 8.5 + 0.25 * 8.5 + 0.15 * 9 + 0.1 * 8 + 0.05 * 7, kSumTolerance);
    EXPECT_NEAR(falling[9], 0.45 * 2 + 0.25 * 1 + 0.15 * 0 + 0.1 * 2.5 + 0.05 * 2.5, kSumTolerance);

    Vector constant(12, 1234.5);
    weighted_kernel_filter(amplification_kernel(), constant);
    for (double x : constant) EXPECT_DOUBLE_EQ(x, 1234.5);
}

TEST(WeightedKernelFilter, RefusesWhatItsPadsCannotReach) {
    Vector three = vec({1, 2, 3});
    EXPECT_THROW_MSG(weighted_kernel_filter(amplification_kernel(), three), std::invalid_argument,
                     "数组过少无法操作。");
    EXPECT_EQ(three[2], 3.0);  // untouched
    EXPECT_THROW_MSG(weighted_kernel_filter(vec({1.0}), three), std::invalid_argument, "数组过少无法操作。");
    Vector four = vec({0, 1, 2, 3});  // exactly twice the half-kernel
    EXPECT_NO_THROW(weighted_kernel_filter(amplification_kernel(), four));
}

TEST(CurvePrimitives, ExtremesAndCentralDifference) {
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(argmax(vec({1, 3, 3, 2})), 1u);  // the first of equals
    EXPECT_EQ(argmin(vec({2, 1, 1, 5})), 1u);
    EXPECT_EQ(argmax(Vector()), 0u);
    EXPECT_EQ(argmin(Vector()), 0u);
    EXPECT_EQ(argmax(vec({1, kNaN, 0.5, 2})), 3u);  // a NaN never wins after the start
    EXPECT_EQ(argmin(vec({1, kNaN, 0.5, 2})), 2u);
    EXPECT_EQ(argmax(vec({kNaN, 5, 7})), 0u);  // nor does anything beat a leading one
    EXPECT_EQ(argmin(vec({kNaN, -5, -7})), 0u);

    Vector v = vec({1, 4, 9, 16});
    quelmar::central_difference(v);
    EXPECT_EQ(v[0], 4.0);
    EXPECT_EQ(v[1], 4.0);
    EXPECT_EQ(v[2], 6.0);
    EXPECT_EQ(v[3], 6.0);
    Vector two = vec({3, 8});
    quelmar::central_difference(two);
    EXPECT_EQ(two[0], 0.0);
    EXPECT_EQ(two[1], 0.0);
}

}  // namespace
