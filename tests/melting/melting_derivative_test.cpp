// The start correction of the melting derivative and the routine's refusals,
// on the library's own types.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <stdexcept>
#include <vector>

#include "expect_throw.h"
#include "melting/melting_derivative.h"
#include "numeric/vector.h"

namespace {

using quelmar::Vector;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// Four temperatures whose step at positions 2 and 3 is `step`.
Vector temperatures_with_step(double step) {
    const double t[] = {0, 1, 2, 2 + step};
    return Vector::copy_of(t, 4);
}

Vector ramp(std::size_t n) {
    Vector v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<double>(i);
    return v;
}

TEST(MeltingKernel, SevenWeightsSummingToOnePointOne) {
    const Vector& k = quelmar::melting_kernel();
    EXPECT_EQ(std::vector<double>(k.begin(), k.end()),
              (std::vector<double>{0.05, 0.15, 0.2, 0.3, 0.2, 0.15, 0.05}));
}

TEST(CorrectMeltingStart, ReplacesFiveDegreesByALineThenSmooths) {
    // Step 1 degree: h = 0.1 and k = 50 points. On V[i] = i the early mean
    // is 24.5, b = (24.5 + 50) / 2 = 37.25 and the slope per degree
    // (50 - 37.25) / 5 = 2.55, so E[i] = 0.255 i + 37.25 for i < 50.
    Vector out;
    quelmar::correct_melting_start(temperatures_with_step(1.0), ramp(200), out);
    ASSERT_EQ(out.size(), 200u);
    // Window 0..30 lies on the line: its mean is the line at i = 15.
    EXPECT_NEAR(out[0], 0.255 * 15 + 37.25, 1e-12);
    // Window 70..130 lies on the untouched ramp.
    EXPECT_EQ(out[100], 100.0);
    // Window 169..199 is clipped at the end: mean of 169..199 is 184.
    EXPECT_EQ(out[199], 184.0);
}

TEST(CorrectMeltingStart, NeedsMoreThanFiveDegreesOfPoints) {
    Vector out;
    // 0.5 degree steps: k = 100, so 101 points pass and 100 do not.
    EXPECT_NO_THROW(quelmar::correct_melting_start(temperatures_with_step(0.5), ramp(101), out));
    EXPECT_THROW_MSG(quelmar::correct_melting_start(temperatures_with_step(0.5), ramp(100), out),
                     std::invalid_argument, "F参数数据长度不能过小。");
}

TEST(CorrectMeltingStart, StepsThatGiveNoPointCount) {
    Vector out;
    // Zero, NaN and tiny steps (5 / h beyond 32 bits) give the most negative
    // count; steps between -50 and 0 give a negative one.
    for (double step : {0.0, -0.0, kNaN, 1e-9, -1e-9, -0.5, -30.0}) {
        EXPECT_THROW_MSG(quelmar::correct_melting_start(temperatures_with_step(step), ramp(1000), out),
                         std::invalid_argument, "F参数数据长度不能过小。");
    }
}

TEST(CorrectMeltingStart, WideOrInfiniteStepsOnlySmooth) {
    // k = 0: no line, only the moving average, whose window 0..30 on a ramp
    // has mean 15.
    for (double step : {60.0, -60.0, kInf, -kInf}) {
        Vector out;
        ASSERT_NO_THROW(quelmar::correct_melting_start(temperatures_with_step(step), ramp(100), out)) << step;
        EXPECT_EQ(out[0], 15.0) << step;
        EXPECT_EQ(out[50], 50.0) << step;
    }
}

TEST(MeltingDerivative, RefusesShortCurvesBeforeFilteringThem) {
    Vector grid, derivative;
    const Vector t3 = ramp(3);
    EXPECT_THROW_MSG(quelmar::melting_derivative(t3, t3, grid, derivative), std::invalid_argument,
                     "温度数据不能小于4个。");
    // 2-degree steps would pass the start correction (k = 25 < 31 points)
    // but the filter's pads would read outside four or five readings.
    for (std::size_t n : {4u, 5u}) {
        Vector t = ramp(n);
        t *= 2.0;
        EXPECT_THROW_MSG(quelmar::melting_derivative(t, ramp(n), grid, derivative), std::invalid_argument,
                         "F参数数据长度不能过小。");
    }
    EXPECT_EQ(grid.size(), 0u);
    EXPECT_EQ(derivative.size(), 0u);
}

}  // namespace
