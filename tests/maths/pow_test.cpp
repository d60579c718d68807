// pow's special values (C99 Annex F, F.9.4.4) and its exact and half-way
// results, which no rounding test can decide and which pow must recognise
// from the arguments. Every expected value here is worked by hand: powers of
// odd integers and of two, checked with Python's integers.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>

#include "maths/double_double.h"
#include "maths/maths.h"

namespace {

using quelmar::maths::pow;
using quelmar::maths::to_bits;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

struct Case {
  double x;
  double y;
  double want;  // NaN for an invalid result
};

void expect_cases(const Case* cases, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    const Case& c = cases[i];
    double got = pow(c.x, c.y);
    if (c.want != c.want) {
      EXPECT_NE(got, got) << std::hexfloat << "pow(" << c.x << ", " << c.y << ") = " << got;
    } else {
      // Bits, so that the sign of a zero counts.
      EXPECT_EQ(to_bits(got), to_bits(c.want))
          << std::hexfloat << "pow(" << c.x << ", " << c.y << ") = " << got << ", not " << c.want;
    }
  }
}

TEST(PowSpecialValues, AnnexF) {
  const Case kCases[] = {
      // pow(x, +-0) = 1 for any x, even a NaN; pow(+1, y) = 1 for any y.
      {kNan, 0.0, 1.0}, {kNan, -0.0, 1.0}, {-kInf, 0.0, 1.0}, {0.0, -0.0, 1.0}, {-3.5, 0.0, 1.0},
      {1.0, kNan, 1.0}, {1.0, kInf, 1.0}, {1.0, -kInf, 1.0}, {1.0, -1e300, 1.0},
      // Otherwise a NaN argument gives a NaN.
      {kNan, 1.0, kNan}, {2.0, kNan, kNan}, {-1.0, kNan, kNan},
      // pow(+-0, y): poles for y < 0 (signed by an odd integer y), zeros for y > 0.
      {0.0, -3.0, kInf}, {-0.0, -3.0, -kInf}, {-0.0, -4.0, kInf}, {-0.0, -0.5, kInf}, {-0.0, -kInf, kInf},
      {0.0, 3.0, 0.0}, {-0.0, 3.0, -0.0}, {-0.0, 4.0, 0.0}, {-0.0, 0.5, 0.0}, {-0.0, kInf, 0.0},
      {-0.0, -0x1p60, kInf}, {-0.0, 0x1p53, 0.0}, {-0.0, 0x1.0000000000001p52, -0.0},  // 2^52 + 1 is odd
      {-0.0, 9007199254740991.0, -0.0},
      // pow(-1, +-inf) = 1; |x| < 1 and |x| > 1 against infinite y.
      {-1.0, kInf, 1.0}, {-1.0, -kInf, 1.0},
      {0.5, -kInf, kInf}, {-0.5, -kInf, kInf}, {2.0, -kInf, 0.0}, {-2.0, -kInf, 0.0},
      {0.5, kInf, 0.0}, {-0.5, kInf, 0.0}, {2.0, kInf, kInf}, {-2.0, kInf, kInf},
      // pow(-inf, y) and pow(+inf, y).
      {-kInf, -3.0, -0.0}, {-kInf, -2.0, 0.0}, {-kInf, -0.5, 0.0}, {-kInf, 3.0, -kInf},
      {-kInf, 2.0, kInf}, {-kInf, 0.5, kInf}, {kInf, -1e-300, 0.0}, {kInf, 1e-300, kInf},
      // A finite negative x with a finite non-integer y is invalid.
      {-2.0, 0.5, kNan}, {-2.0, -1.5, kNan}, {-0x1p-1074, 0x1p-1074, kNan},
      // -1 to an integer power, however large.
      {-1.0, 3.0, -1.0}, {-1.0, -4.0, 1.0}, {-1.0, 0x1p60, 1.0}, {-1.0, 9007199254740991.0, -1.0},
  };
  expect_cases(kCases, sizeof kCases / sizeof kCases[0]);
}

// Results that are doubles: powers of two, roots of perfect powers, small
// powers of odd integers, on the normal and subnormal grids.
TEST(PowExactCases, RepresentableResults) {
  const Case kCases[] = {
      {2.0, -1074.0, 0x1p-1074}, {0.5, 1074.0, 0x1p-1074}, {2.0, 1023.0, 0x1p1023}, {2.0, 1024.0, kInf},
      {0x1p-1074, 0.5, 0x1p-537}, {0x1p-1074, -0.5, 0x1p537}, {0x1p-1024, 0.75, 0x1p-768},
      {0x1p-1024, 0.0009765625, 0.5},  // 2^-1024 to the 1/1024
      {81.0, 0.25, 3.0}, {6561.0, 0.125, 3.0}, {1853020188851841.0, 0.03125, 3.0},  // 3^32, 1/32
      {9.0, 1.5, 27.0}, {160000.0, 0.75, 8000.0},  // (5^4 2^8)^(3/4) = 5^3 2^6
      {3.0, 33.0, 5559060566555523.0},              // 3^33 < 2^53
      {-3.0, 33.0, -5559060566555523.0}, {-3.0, 32.0, 1853020188851841.0},
      {3.0 * 0x1p-358, 3.0, 27.0 * 0x1p-1074},      // 27 steps of 2^-1074
      {0.25, -0.5, 2.0}, {4.0, -537.0, 0x1p-1074},
  };
  expect_cases(kCases, sizeof kCases / sizeof kCases[0]);
}

// Results exactly half-way between two doubles: ties to even.
TEST(PowExactCases, MidpointResults) {
  const Case kCases[] = {
      // 3^34 = 16677181699666569, 54 bits, odd: between ...568 and ...570,
      // ...568 having the even last bit.
      {3.0, 34.0, 16677181699666568.0},
      {-3.0, 34.0, 16677181699666568.0},
      // (2^18 - 1)^3 = 18014192351838207 = 3 mod 4: up to ...208. As a root:
      // (w^2)^(3/2), and as an odd power of a negative base.
      {68718952449.0, 1.5, 18014192351838208.0},
      {-262143.0, 3.0, -18014192351838208.0},
      // 2^-1075, half the smallest subnormal: to zero, keeping the sign.
      {2.0, -1075.0, 0.0}, {0.5, 1075.0, 0.0}, {-2.0, -1075.0, -0.0}, {4.0, -537.5, 0.0},
      // (5 2^-215)^5 = 3125 2^-1075 = 1562.5 steps of 2^-1074: to 1562.
      {5.0 * 0x1p-215, 5.0, 1562.0 * 0x1p-1074},
      // (3 2^-43)^25 = 3^25 2^-1075 = 423644304721.5 steps: to ...722.
      {3.0 * 0x1p-43, 25.0, 423644304722.0 * 0x1p-1074},
  };
  expect_cases(kCases, sizeof kCases / sizeof kCases[0]);
}

}  // namespace
