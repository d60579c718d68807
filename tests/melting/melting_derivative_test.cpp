// The start correction of the melting derivative: a straight line over the
// first five degrees, then a moving average.
#include <gtest/gtest.h>

#include <limits>

#include "melting/melting_derivative.h"

namespace {

// The ramp 0, 1, ..., 199 corrected as if measured with a step of `step`
// degrees at temperature positions 2 and 3.
quelmar::Vector corrected_ramp(double step) {
    const double t[] = {0, 1, 2, 2 + step};
    quelmar::Vector ramp(200), out;
    for (std::size_t i = 0; i < 200; ++i) ramp[i] = static_cast<double>(i);
    quelmar::correct_melting_start(quelmar::Vector::copy_of(t, 4), ramp, out);
    return out;
}

TEST(CorrectMeltingStart, ReplacesFiveDegreesByALineThenSmooths) {
    // Step 1 degree: k = 50 points of 0.1 degree, mean 24.5; the line starts
    // at (24.5 + 50) / 2 = 37.25 and rises 0.255 per point towards 50.
    const quelmar::Vector out = corrected_ramp(1.0);
    ASSERT_EQ(out.size(), 200u);
    EXPECT_NEAR(out[0], 0.255 * 15 + 37.25, 1e-12);  // mean of 0..30, on the line
    EXPECT_EQ(out[100], 100.0);                      // mean of 70..130, on the ramp
    EXPECT_EQ(out[199], 184.0);                      // mean of 169..199, clipped
    // Steps above 50 degrees or infinite give k = 0: only the moving average.
    const double inf = std::numeric_limits<double>::infinity();
    for (double step : {60.0, -60.0, inf, -inf}) EXPECT_EQ(corrected_ramp(step)[0], 15.0) << step;
}

}  // namespace
