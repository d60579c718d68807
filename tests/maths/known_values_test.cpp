// Results of exp, log, log10, pow and sin known without any other maths
// library: the C library's special values of pow, powers whose exact result is a
// double or lies half-way between two (worked with Python's integers), and
// correctly rounded constants; and properties that hold for every argument.
// They hold the library on every platform, MPFR absent or not, and would
// show a fault that the MPFR test's reference shared with the library (its
// exponent range, its subnormal rounding, its signed zeros).
#include <gtest/gtest.h>

#include <cmath>

#include "argument_ranges.h"

namespace maths_test {
namespace {

constexpr Function kExp = Function::kExp, kLog = Function::kLog, kLog10 = Function::kLog10, kPow = Function::kPow,
                   kSin = Function::kSin;

TEST(KnownValues, WorkedByHand) {
    const struct {
        Function f;
        double x, y, want;  // y: pow's exponent
    } known[] = {
        // pow: signed zeros and infinities by the parity of y; 1 whatever the NaN.
        {kPow, -0.0, -1.0, -INFINITY}, {kPow, -0.0, -2.0, INFINITY}, {kPow, -0.0, 3.0, -0.0}, {kPow, -0.0, 0.5, 0.0},
        {kPow, -0.0, 0x1.0000000000001p52, -0.0}, {kPow, -INFINITY, -3.0, -0.0}, {kPow, -INFINITY, 3.0, -INFINITY},
        {kPow, -1.0, INFINITY, 1.0}, {kPow, 1.0, NAN, 1.0}, {kPow, NAN, -0.0, 1.0}, {kPow, 0.5, -INFINITY, INFINITY},
        {kPow, -0.5, INFINITY, 0.0}, {kPow, -8.0, 1.0 / 3.0, NAN}, {kPow, -0x1p-1074, 0x1p-1074, NAN},
        {kPow, -1.0, 9007199254740991.0, -1.0}, {kPow, 2.0, NAN, NAN},
        // pow: exact results, on the normal and the subnormal grid.
        {kPow, 2.0, -1074.0, 0x1p-1074}, {kPow, 2.0, 1024.0, INFINITY}, {kPow, 9.0, 0.5, 3.0}, {kPow, 9.0, 1.5, 27.0},
        {kPow, 0x1p-1024, 0.0009765625, 0.5}, {kPow, 1853020188851841.0, 0.03125, 3.0},  // 3^32 to the 1/32
        {kPow, 160000.0, 0.75, 8000.0}, {kPow, -3.0, 33.0, -5559060566555523.0}, {kPow, -2.0, 3.0, -8.0},
        {kPow, 3.0 * 0x1p-358, 3.0, 27.0 * 0x1p-1074}, {kPow, 4.0, -537.0, 0x1p-1074},
        // pow: midpoints, to even. 3^34 = 16677181699666569 and 94906267^2 =
        // 9007199515875289 (54 bits, odd); (2^18 - 1)^3 = 18014192351838207
        // (3 mod 4); 2^-1075 (to zero, keeping the sign) and a little above
        // it; 5^5 2^-1075 = 1562.5 steps of 2^-1074 and 3^25 2^-1075 =
        // 423644304721.5 steps.
        {kPow, 3.0, 34.0, 16677181699666568.0}, {kPow, 94906267.0, 2.0, 9007199515875288.0},
        {kPow, 68718952449.0, 1.5, 18014192351838208.0}, {kPow, -262143.0, 3.0, -18014192351838208.0},
        {kPow, 2.0, -1075.0, 0.0}, {kPow, -2.0, -1075.0, -0.0}, {kPow, 4.0, -537.5, 0.0},
        {kPow, 2.0, -1074.5, 0x1p-1074}, {kPow, 5.0 * 0x1p-215, 5.0, 1562.0 * 0x1p-1074},
        {kPow, 3.0 * 0x1p-43, 25.0, 423644304722.0 * 0x1p-1074},
        // exp, log and log10: ends of the range, exact results, e, ln 2, ln 10.
        {kExp, 0.0, 0, 1.0}, {kExp, -0.0, 0, 1.0}, {kExp, -INFINITY, 0, 0.0}, {kExp, 710.0, 0, INFINITY},
        {kExp, -746.0, 0, 0.0}, {kExp, NAN, 0, NAN}, {kExp, 1.0, 0, 0x1.5bf0a8b145769p+1},
        {kLog, 1.0, 0, 0.0}, {kLog, -0.0, 0, -INFINITY}, {kLog, -1.0, 0, NAN}, {kLog, INFINITY, 0, INFINITY},
        {kLog, 2.0, 0, 0x1.62e42fefa39efp-1}, {kLog, 10.0, 0, 0x1.26bb1bbb55516p+1},
        {kLog10, 1e22, 0, 22.0}, {kLog10, 1e-300, 0, -300.0}, {kLog10, 0.0, 0, -INFINITY}, {kLog10, -1.0, 0, NAN},
        // sin: x itself below about 2^-26, sin 1 to its published digits.
        {kSin, -0.0, 0, -0.0}, {kSin, 0x1p-1074, 0, 0x1p-1074}, {kSin, -0x1p-1022, 0, -0x1p-1022},
        {kSin, 0x1.fffffffffffffp-27, 0, 0x1.fffffffffffffp-27}, {kSin, 1.0, 0, 0x1.aed548f090ceep-1},
        {kSin, INFINITY, 0, NAN}, {kSin, NAN, 0, NAN},
    };
    for (const auto& k : known) {
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
