// The rounding test (round_scaled) on values built next to rounding
// boundaries, where the expected double follows from the construction: a
// double d, the midpoint half an ulp above it, and a value a little above
// or below that midpoint. Normal results, the quarter-ulp midpoint under a
// power of two, the uniform subnormal grid (with its ties to even and the
// midpoint 2^-1075 that rounds to zero), and overflow past the largest
// double.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>

#include "argument_ranges.h"
#include "maths/rounding.h"

namespace maths_test {
namespace {

using quelmar::maths::from_bits;
using quelmar::maths::round_scaled;
using quelmar::maths::to_bits;

double next_up(double d) { return from_bits(to_bits(d) + 1); }  // d >= 0, finite
double ulp_of(double d) { return next_up(d) - d; }

// hi + lo = d + ulp/2 + offset (offset a small multiple of ulp): decided to
// next_up(d) or d by offset's sign when err < |offset|, and refused when err
// exceeds |offset|, for results scaled anywhere in the normal range.
TEST(RoundingTest, NormalResultsNextToMidpoints) {
    Rng rng(1);
    for (int i = 0; i < 2000; ++i) {
        const double d = rng.binades(0, 0), ulp = ulp_of(d);
        for (double offset : {0x1p-10, 0x1p-30, 0x1p-45, -0x1p-10, -0x1p-30, -0x1p-45}) {
            const double lo = (0.5 + offset) * ulp, distance = std::fabs(offset) * ulp;
            const double want = offset > 0 ? next_up(d) : d;
            for (int e : {0, -1021, 1023, 300, -700}) {
                // want 2^e: the exponent field shifted (2^1024 reads as infinity).
                double got = 0.0, untouched = 7.0;
                ASSERT_TRUE(round_scaled(d, lo, 0.5 * distance, e, got) &&
                            to_bits(got) == to_bits(want) + (static_cast<std::uint64_t>(e) << 52))
                    << std::hexfloat << d << " + " << lo << " scaled by 2^" << e << ": " << got;
                EXPECT_FALSE(round_scaled(d, lo, 2.0 * distance, e, untouched) || untouched != 7.0);
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
    for (double p : {1.0, 2.0, 0x1p-500, 0x1p600}) {
        const double below = from_bits(to_bits(p) - 1), quarter = 0.25 * ulp_of(p), err = quarter * 0x1p-22;
        double got = 0.0;
        // Just above the boundary: p. Just below: its predecessor.
        ASSERT_TRUE(round_scaled(p, -quarter + quarter * 0x1p-20, err, 0, got));
        EXPECT_EQ(got, p);
        ASSERT_TRUE(round_scaled(p, -quarter - quarter * 0x1p-20, err, 0, got));
        EXPECT_EQ(got, below);
        // On the boundary itself with any error: refused, though half an ulp
        // of p would put it well inside p's interval; exactly, to even.
        EXPECT_FALSE(round_scaled(p, -quarter, err, 0, got));
        ASSERT_TRUE(round_scaled(p, -quarter, 0.0, 0, got));
        EXPECT_EQ(got, p);
    }
}

// Results below 2^-1021 land on the uniform grid of 2^-1074: n + 1/2 steps
// plus or minus a little, exact ties to even.
TEST(RoundingTest, SubnormalGrid) {
    for (std::uint64_t n : {0ull, 1ull, 2ull, 3ull, 1000ull, (1ull << 52) - 1, 1ull << 52, (1ull << 53) - 2}) {
        for (int e : {-1074, -1100, -1040}) {
            // v = (n + 1/2) 2^-1074 + 2^e delta = 2^e (hi + lo), the half in hi
            // while n + 1/2 is a double; delta is 2^-64 of hi's binade, so that
            // the errors below stay within the test's stated range (2^-60 |hi|).
            const double scale = from_bits(static_cast<std::uint64_t>(-1074 - e + 1023) << 52);  // 2^(-1074-e)
            const bool half_in_hi = n < (1ull << 52);
            const double hi = (static_cast<double>(n) + (half_in_hi ? 0.5 : 0.0)) * scale;
            const double half_lo = half_in_hi ? 0.0 : 0.5 * scale;
            const double delta = from_bits(to_bits(hi) & 0x7ff0000000000000ull) * 0x1p-64;
            double got = -1.0;
            for (double sign : {1.0, -1.0}) {
                ASSERT_TRUE(round_scaled(hi, half_lo + sign * delta, 0.25 * delta, e, got)) << n << " at 2^" << e;
                EXPECT_EQ(to_bits(got), sign > 0 ? n + 1 : n) << n << " at 2^" << e;
                EXPECT_FALSE(round_scaled(hi, half_lo + sign * delta, 2.0 * delta, e, got));
            }
            ASSERT_TRUE(round_scaled(hi, half_lo, 0.0, e, got));
            EXPECT_EQ(to_bits(got), n % 2 == 0 ? n : n + 1) << "tie " << n << " at 2^" << e;
        }
    }
}

// The ends of the range. The largest double is 2^1024 - 2^971; from the
// midpoint 2^1024 - 2^970 on (a tie goes to the even 2^1024) the result
// overflows. 2^-1075 is the midpoint between 0 and the smallest subnormal:
// zero, with either sign; a hair above it rounds up; far below, zero.
TEST(RoundingTest, OverflowAndUnderflow) {
    const struct {
        double hi, lo, err;
        int e;
        double want;
    } cases[] = {{2.0, -0x1p-53 - 0x1p-70, 0x1p-80, 1023, DBL_MAX}, {2.0, -0x1p-53 + 0x1p-70, 0x1p-80, 1023, INFINITY},
                 {2.0, -0x1p-53, 0.0, 1023, INFINITY}, {-2.0, 0x1p-53 - 0x1p-70, 0x1p-80, 1023, -INFINITY},
                 {0x1.fffffffffffffp+0, 0.0, 0x1p-80, 1023, DBL_MAX}, {1.5, 0.0, 0x1p-80, 1100, INFINITY},
                 {1.0, 0.0, 0.0, -1075, 0.0}, {-1.0, 0.0, 0.0, -1075, -0.0}, {1.0, 0x1p-58, 0x1p-62, -1075, 0x1p-1074},
                 {1.5, 0.0, 0x1p-60, -1200, 0.0}};
    for (const auto& c : cases) {
        double got = 7.0;
        EXPECT_TRUE(round_scaled(c.hi, c.lo, c.err, c.e, got) && to_bits(got) == to_bits(c.want))
            << std::hexfloat << c.hi << " + " << c.lo << " scaled by 2^" << c.e << ": " << got;
    }
    // 2^-70 above the overflow midpoint, with an error that reaches it: undecided
    // (the boundary under 2^1024 is a quarter of its ulp away, not a half).
    double untouched = 7.0;
    EXPECT_FALSE(round_scaled(2.0, -0x1p-53 + 0x1p-70, 0x1p-65, 1023, untouched) || untouched != 7.0);
}

}  // namespace
}  // namespace maths_test
