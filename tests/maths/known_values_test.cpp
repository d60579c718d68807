// Results of exp, log, log10, pow and sin known without any other maths
// library: the special values of C99 Annex F (F.9.3, F.9.4.4, F.9.1.6),
// powers whose exact result is a double or lies half-way between two
// (worked with Python's integers), and a few correctly rounded constants.
// They run where MPFR is absent (the Windows build) and, as MPFR is checked
// against nothing but itself, they also vouch for the MPFR test's set-up:
// its exponent range, its subnormal rounding and its signed zeros.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <initializer_list>

#include "argument_ranges.h"

namespace maths_test {
namespace {

constexpr double kInf = INFINITY;
constexpr double kNan = NAN;

struct Known {
    double x;
    double y;  // pow's exponent; 0 otherwise
    double want;
};

void expect_known(Function f, std::initializer_list<Known> cases) {
    for (const Known& c : cases) {
        const double got = library(f, {c.x, c.y});
        EXPECT_TRUE(same(got, c.want)) << std::hexfloat << function_name(f) << "(" << c.x << ", " << c.y
                                       << ") = " << got << ", not " << c.want;
    }
}

TEST(KnownValues, PowAnnexF) {
    expect_known(Function::kPow, {
        // pow(x, +-0) = 1 for any x, even a NaN; pow(+1, y) = 1 for any y.
        {kNan, 0.0, 1.0}, {kNan, -0.0, 1.0}, {-kInf, 0.0, 1.0}, {0.0, -0.0, 1.0}, {-3.5, 0.0, 1.0},
        {1.0, kNan, 1.0}, {1.0, kInf, 1.0}, {1.0, -kInf, 1.0}, {1.0, -1e300, 1.0},
        // Otherwise a NaN argument gives a NaN.
        {kNan, 1.0, kNan}, {2.0, kNan, kNan}, {-1.0, kNan, kNan},
        // pow(+-0, y): poles for y < 0 (signed by an odd integer y), zeros for y > 0.
        {0.0, -3.0, kInf}, {-0.0, -3.0, -kInf}, {-0.0, -1.0, -kInf}, {-0.0, -4.0, kInf}, {-0.0, -0.5, kInf},
        {-0.0, -kInf, kInf}, {0.0, 3.0, 0.0}, {-0.0, 3.0, -0.0}, {-0.0, 4.0, 0.0}, {-0.0, 0.5, 0.0},
        {-0.0, kInf, 0.0}, {-0.0, -0x1p60, kInf}, {-0.0, 0x1p53, 0.0},
        {-0.0, 0x1.0000000000001p52, -0.0}, {-0.0, 9007199254740991.0, -0.0},  // 2^52 + 1, 2^53 - 1: odd
        // pow(-1, +-inf) = 1; |x| < 1 and |x| > 1 against infinite y.
        {-1.0, kInf, 1.0}, {-1.0, -kInf, 1.0}, {0.5, -kInf, kInf}, {-0.5, -kInf, kInf}, {2.0, -kInf, 0.0},
        {-2.0, -kInf, 0.0}, {0.5, kInf, 0.0}, {-0.5, kInf, 0.0}, {2.0, kInf, kInf}, {-2.0, kInf, kInf},
        // pow(-inf, y) and pow(+inf, y).
        {-kInf, -3.0, -0.0}, {-kInf, -2.0, 0.0}, {-kInf, -0.5, 0.0}, {-kInf, 3.0, -kInf}, {-kInf, 2.0, kInf},
        {-kInf, 0.5, kInf}, {kInf, -1e-300, 0.0}, {kInf, 1e-300, kInf},
        // A finite negative x with a finite non-integer y is invalid.
        {-2.0, 0.5, kNan}, {-2.0, -1.5, kNan}, {-0x1p-1074, 0x1p-1074, kNan}, {-8.0, 1.0 / 3.0, kNan},
        // -1 to an integer power, however large.
        {-1.0, 3.0, -1.0}, {-1.0, -4.0, 1.0}, {-1.0, 0x1p60, 1.0}, {-1.0, 9007199254740991.0, -1.0},
    });
}

// Results that are doubles: powers of two, roots of perfect powers, small
// powers of odd integers, on the normal and subnormal grids.
TEST(KnownValues, PowExactResults) {
    expect_known(Function::kPow, {
        {2.0, -1074.0, 0x1p-1074}, {0.5, 1074.0, 0x1p-1074}, {2.0, 1023.0, 0x1p1023}, {2.0, 1024.0, kInf},
        {0x1p-1074, 0.5, 0x1p-537}, {0x1p-1074, -0.5, 0x1p537}, {0x1p-1024, 0.75, 0x1p-768},
        {0x1p-1024, 0.0009765625, 0.5},  // 2^-1024 to the 1/1024
        {81.0, 0.25, 3.0}, {6561.0, 0.125, 3.0}, {1853020188851841.0, 0.03125, 3.0},  // 3^32, 1/32
        {9.0, 0.5, 3.0}, {9.0, 1.5, 27.0}, {160000.0, 0.75, 8000.0},  // (5^4 2^8)^(3/4) = 5^3 2^6
        {3.0, 33.0, 5559060566555523.0},                               // 3^33 < 2^53
        {-3.0, 33.0, -5559060566555523.0}, {-3.0, 32.0, 1853020188851841.0}, {-2.0, 3.0, -8.0},
        {3.0 * 0x1p-358, 3.0, 27.0 * 0x1p-1074},  // 27 steps of 2^-1074
        {0.25, -0.5, 2.0}, {4.0, -537.0, 0x1p-1074},
    });
}

// Results exactly half-way between two doubles: ties to even.
TEST(KnownValues, PowMidpointResults) {
    expect_known(Function::kPow, {
        // 3^34 = 16677181699666569, 54 bits, odd: between ...568 and ...570,
        // ...568 having the even last bit.
        {3.0, 34.0, 16677181699666568.0}, {-3.0, 34.0, 16677181699666568.0},
        // 94906267^2 = 9007199515875289: between ...288 and ...290.
        {94906267.0, 2.0, 9007199515875288.0},
        // (2^18 - 1)^3 = 18014192351838207 = 3 mod 4: up to ...208. As a root:
        // (w^2)^(3/2), and as an odd power of a negative base.
        {68718952449.0, 1.5, 18014192351838208.0}, {-262143.0, 3.0, -18014192351838208.0},
        // 2^-1075, half the smallest subnormal: to zero, keeping the sign;
        // a little above it, up.
        {2.0, -1075.0, 0.0}, {0.5, 1075.0, 0.0}, {-2.0, -1075.0, -0.0}, {4.0, -537.5, 0.0},
        {2.0, -1074.5, 0x1p-1074},
        // (5 2^-215)^5 = 3125 2^-1075 = 1562.5 steps of 2^-1074: to 1562.
        {5.0 * 0x1p-215, 5.0, 1562.0 * 0x1p-1074},
        // (3 2^-43)^25 = 3^25 2^-1075 = 423644304721.5 steps: to ...722.
        {3.0 * 0x1p-43, 25.0, 423644304722.0 * 0x1p-1074},
    });
}

TEST(KnownValues, ExpLogLog10Sin) {
    expect_known(Function::kExp, {{0.0, 0, 1.0}, {-0.0, 0, 1.0}, {-kInf, 0, 0.0}, {kInf, 0, kInf},
                                  {kNan, 0, kNan}, {710.0, 0, kInf}, {-746.0, 0, 0.0},
                                  {1.0, 0, 0x1.5bf0a8b145769p+1}});  // e
    expect_known(Function::kLog, {{1.0, 0, 0.0}, {0.0, 0, -kInf}, {-0.0, 0, -kInf}, {-1.0, 0, kNan},
                                  {-kInf, 0, kNan}, {kInf, 0, kInf}, {kNan, 0, kNan},
                                  {2.0, 0, 0x1.62e42fefa39efp-1}, {10.0, 0, 0x1.26bb1bbb55516p+1}});  // ln 2, ln 10
    expect_known(Function::kLog10, {{1.0, 0, 0.0}, {1e22, 0, 22.0}, {1e-300, 0, -300.0}, {0.0, 0, -kInf},
                                    {-1.0, 0, kNan}, {kInf, 0, kInf}});
    // sin(x) rounds to x below about 2^-26; sin 1 to its published digits.
    expect_known(Function::kSin, {{0.0, 0, 0.0}, {-0.0, 0, -0.0}, {0x1p-1074, 0, 0x1p-1074},
                                  {-0x1p-1074, 0, -0x1p-1074}, {0x1.fffffffffffffp-1023, 0, 0x1.fffffffffffffp-1023},
                                  {-0x1p-1022, 0, -0x1p-1022}, {0x1.fffffffffffffp-27, 0, 0x1.fffffffffffffp-27},
                                  {1e-10, 0, 1e-10}, {1.0, 0, 0x1.aed548f090ceep-1}, {kInf, 0, kNan},
                                  {-kInf, 0, kNan}, {kNan, 0, kNan}});
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
