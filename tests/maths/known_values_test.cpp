// The library's results against the values known by hand (known_values.h),
// on every platform, and properties that hold for every argument.
#include <gtest/gtest.h>

#include <cmath>

#include "argument_ranges.h"
#include "known_values.h"

namespace maths_test {
namespace {

TEST(KnownValues, WorkedByHand) {
    for (const Known& k : kKnownValues) {
        const double got = library(k.f, {k.x, k.y});
        EXPECT_TRUE(same(got, k.want)) << std::hexfloat << function_name(k.f) << "(" << k.x << ", " << k.y
                                       << ") = " << got << ", not " << k.want;
    }
}

// Properties that hold for every argument: pow(v, 2) is v * v, which IEEE
// rounds correctly; sin is odd and within [-1, 1].
TEST(KnownValues, SquaresAndSymmetry) {
    Rng rng(0x5A);
    for (int i = 0; i < 100000; ++i) {
        const double v = rng.finite_bits(false);
        ASSERT_TRUE(same(quelmar::maths::pow(v, 2.0), v * v)) << std::hexfloat << "pow(" << v << ", 2)";
        const double x = rng.binades(-30, 1023), y = quelmar::maths::sin(x);
        ASSERT_TRUE(same(quelmar::maths::sin(-x), -y) && std::fabs(y) <= 1.0) << std::hexfloat << "sin(" << x << ")";
    }
}

}  // namespace
}  // namespace maths_test
