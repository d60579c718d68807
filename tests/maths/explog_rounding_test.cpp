// The rounding test (round_scaled) on values built next to rounding
// boundaries, where the expected double follows from the construction: a
// double d, the midpoint half an ulp above it, and a value a little above
// or below that midpoint. Normal results, the quarter-ulp midpoint under a
// power of two, the uniform subnormal grid (with its ties to even and the
// midpoint 2^-1075 that rounds to zero), and overflow past the largest
// double.
#include <gtest/gtest.h>

#include <cfloat>
#include <cstdint>
#include <limits>

#include "maths/double_double.h"
#include "maths/rounding.h"

namespace {

using quelmar::maths::from_bits;
using quelmar::maths::round_scaled;
using quelmar::maths::to_bits;

constexpr double kInfinity = std::numeric_limits<double>::infinity();

double next_up(double d) { return from_bits(to_bits(d) + 1); }
double magnitude(double d) { return d < 0 ? -d : d; }
double ulp_of(double d) { return from_bits(to_bits(d) + 1) - d; }  // d > 0, finite

struct Stream {
  std::uint64_t state;
  std::uint64_t next() {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // A double in [1, 2).
  double mantissa() { return from_bits(0x3ff0000000000000ull | (next() & 0x000fffffffffffffull)); }
};

// hi + lo = d + ulp/2 + offset (offset a small multiple of ulp): decided to
// next_up(d) or d by offset's sign when err < |offset|, and refused when err
// exceeds |offset|, for results scaled anywhere in the normal range.
TEST(RoundingTest, NormalResultsNextToMidpoints) {
  Stream s{1};
  const double kOffsets[] = {0x1p-10, 0x1p-30, 0x1p-45, -0x1p-10, -0x1p-30, -0x1p-45};
  const int kScales[] = {0, -1021, 1023, 300, -700};
  for (int i = 0; i < 2000; ++i) {
    double d = s.mantissa();
    double ulp = ulp_of(d);
    for (double offset : kOffsets) {
      double lo = (0.5 + offset) * ulp;
      double distance = magnitude(offset) * ulp;
      double want = offset > 0 ? next_up(d) : d;
      for (int e : kScales) {
        double got = 0.0;
        ASSERT_TRUE(round_scaled(d, lo, 0.5 * distance, e, got))
            << std::hexfloat << d << " + " << lo << " scaled by 2^" << e;
        // want 2^e: the exponent field shifted (2^1024 reads as infinity).
        EXPECT_EQ(to_bits(got), to_bits(want) + (static_cast<std::uint64_t>(e) << 52))
            << std::hexfloat << d << " + " << lo << " scaled by 2^" << e;
        double untouched = 7.0;
        EXPECT_FALSE(round_scaled(d, lo, 2.0 * distance, e, untouched));
        EXPECT_EQ(untouched, 7.0);
      }
      // The same value with a negative sign rounds symmetrically.
      double got = 0.0;
      ASSERT_TRUE(round_scaled(-d, -lo, 0.5 * distance, 0, got));
      EXPECT_EQ(got, -want);
    }
  }
}

// Below a power of two the doubles are twice as dense: the boundary under
// 2^k is a quarter of 2^k's ulp away, not a half.
TEST(RoundingTest, QuarterUlpBelowPowersOfTwo) {
  const double kPowers[] = {1.0, 2.0, 0x1p-500, 0x1p600};
  for (double p : kPowers) {
    double below = from_bits(to_bits(p) - 1);
    double quarter = 0.25 * ulp_of(p);
    double got = 0.0;
    // Just above the boundary: p. Just below: its predecessor.
    ASSERT_TRUE(round_scaled(p, -quarter + quarter * 0x1p-20, quarter * 0x1p-22, 0, got));
    EXPECT_EQ(got, p);
    ASSERT_TRUE(round_scaled(p, -quarter - quarter * 0x1p-20, quarter * 0x1p-22, 0, got));
    EXPECT_EQ(got, below);
    // On the boundary itself with any error: refused, though half an ulp
    // of p would put it well inside p's interval.
    EXPECT_FALSE(round_scaled(p, -quarter, quarter * 0x1p-22, 0, got));
    // Exact ties resolve to the even neighbour.
    ASSERT_TRUE(round_scaled(p, -quarter, 0.0, 0, got));
    EXPECT_EQ(got, p);
  }
}

// Results below 2^-1021 land on the uniform grid of 2^-1074: n + 1/2 steps
// plus or minus a little, exact ties to even, and 2^-1075 to zero.
TEST(RoundingTest, SubnormalGrid) {
  const std::uint64_t kSteps[] = {0, 1, 2, 3, 1000, (std::uint64_t{1} << 52) - 1, std::uint64_t{1} << 52,
                                  (std::uint64_t{1} << 53) - 2};
  const int kScales[] = {-1074, -1100, -1040};
  for (std::uint64_t n : kSteps) {
    for (int e : kScales) {
      // v = (n + 1/2) 2^-1074 + 2^e delta = 2^e (hi + lo), the half in hi
      // while n + 1/2 is a double; delta is 2^-64 of hi's binade, so that
      // the errors below stay within the test's stated range (2^-60 |hi|).
      double scale = from_bits(static_cast<std::uint64_t>(-1074 - e + 1023) << 52);  // 2^(-1074-e)
      bool half_in_hi = n < (std::uint64_t{1} << 52);
      double hi = (static_cast<double>(n) + (half_in_hi ? 0.5 : 0.0)) * scale;
      double half_lo = half_in_hi ? 0.0 : 0.5 * scale;
      double delta = from_bits(to_bits(hi) & 0x7ff0000000000000ull) * 0x1p-64;
      for (double sign : {1.0, -1.0}) {
        double lo = half_lo + sign * delta;
        double got = -1.0;
        ASSERT_TRUE(round_scaled(hi, lo, 0.25 * delta, e, got)) << n << " at 2^" << e;
        EXPECT_EQ(to_bits(got), sign > 0 ? n + 1 : n) << n << " at 2^" << e;
        EXPECT_FALSE(round_scaled(hi, lo, 2.0 * delta, e, got));
      }
      double got = -1.0;
      ASSERT_TRUE(round_scaled(hi, half_lo, 0.0, e, got));
      EXPECT_EQ(to_bits(got), n % 2 == 0 ? n : n + 1) << "tie " << n << " at 2^" << e;
    }
  }
  // 2^-1075 is the midpoint between 0 and the smallest subnormal: zero, with
  // either sign; a hair above it rounds up.
  double got = -1.0;
  ASSERT_TRUE(round_scaled(1.0, 0.0, 0.0, -1075, got));
  EXPECT_EQ(to_bits(got), 0u);
  ASSERT_TRUE(round_scaled(-1.0, 0.0, 0.0, -1075, got));
  EXPECT_EQ(to_bits(got), to_bits(-0.0));
  ASSERT_TRUE(round_scaled(1.0, 0x1p-58, 0x1p-62, -1075, got));
  EXPECT_EQ(got, 0x1p-1074);
  // Far below, zero whatever the error within the stated limits.
  ASSERT_TRUE(round_scaled(1.5, 0.0, 0x1p-60, -1200, got));
  EXPECT_EQ(to_bits(got), 0u);
}

// The largest double is 2^1024 - 2^971; from the midpoint 2^1024 - 2^970 on
// (a tie goes to the even 2^1024) the result overflows to infinity.
TEST(RoundingTest, Overflow) {
  double below_two = from_bits(to_bits(2.0) - 1);  // 2 - 2^-52
  double quarter = 0x1p-53;                          // a quarter of ulp(2): 2^970 at scale 2^1023
  double got = 0.0;
  ASSERT_TRUE(round_scaled(2.0, -quarter - 0x1p-70, 0x1p-80, 1023, got));
  EXPECT_EQ(got, DBL_MAX);
  ASSERT_TRUE(round_scaled(2.0, -quarter + 0x1p-70, 0x1p-80, 1023, got));
  EXPECT_EQ(got, kInfinity);
  ASSERT_TRUE(round_scaled(2.0, -quarter, 0.0, 1023, got));
  EXPECT_EQ(got, kInfinity);
  ASSERT_TRUE(round_scaled(-2.0, quarter - 0x1p-70, 0x1p-80, 1023, got));
  EXPECT_EQ(got, -kInfinity);
  ASSERT_TRUE(round_scaled(below_two, 0.0, 0x1p-80, 1023, got));
  EXPECT_EQ(got, DBL_MAX);
  ASSERT_TRUE(round_scaled(1.5, 0.0, 0x1p-80, 1100, got));
  EXPECT_EQ(got, kInfinity);
}

}  // namespace
