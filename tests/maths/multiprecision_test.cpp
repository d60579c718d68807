// The multiprecision arithmetic of the exact paths: exactness where the
// result fits, truncation toward zero (never more than one unit of the last
// bit off) where it does not, the rounding to double on every grid, and the
// constants against their series.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <initializer_list>

#include "argument_ranges.h"
#include "maths/double_double.h"
#include "maths/multiprecision.h"

namespace maths_test {
namespace {

using quelmar::maths::from_bits;
using quelmar::maths::to_bits;
namespace mp = quelmar::maths::mp;

// A number of 1 to max_limbs random limbs with exponent in [-range, range].
mp::Number random_number(Rng& rng, int max_limbs, int range) {
    mp::Number n = mp::zero(1 + static_cast<int>(rng.below(static_cast<std::uint64_t>(max_limbs))));
    for (int i = 0; i < n.limbs; ++i) n.limb[i] = static_cast<std::uint32_t>(rng.next());
    n.limb[0] |= 0x80000000u;
    n.exponent = static_cast<int>(rng.below(static_cast<std::uint64_t>(2 * range + 1))) - range;
    n.negative = rng.sign() < 0;
    return n;
}

// The number 0.l0 l1 l2 ... (base 2^32), most significant limb first.
mp::Number from_limbs(std::initializer_list<std::uint32_t> limbs) {
    mp::Number n = mp::zero(static_cast<int>(limbs.size()));
    std::copy(limbs.begin(), limbs.end(), n.limb);
    n.exponent = 0;
    return n;
}

mp::Number two_to(int k) { return mp::scale2(mp::from_integer(1, 2), k); }

// |a| < 2^k.
bool below_power(const mp::Number& a, int k) { return mp::compare_magnitude(a, two_to(k)) < 0; }

// r is the truncation toward zero of `exact` (computed with room to spare)
// to r.limbs limbs: same sign and exponent, the leading limbs equal.
::testing::AssertionResult is_truncation_of(const mp::Number& r, const mp::Number& exact) {
    if (mp::is_zero(exact))
        return mp::is_zero(r) ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << "not zero";
    if (r.negative != exact.negative || r.exponent != exact.exponent)
        return ::testing::AssertionFailure() << "sign or exponent differ: " << r.exponent << " vs " << exact.exponent;
    for (int i = 0; i < r.limbs; ++i)
        if (r.limb[i] != (i < exact.limbs ? exact.limb[i] : 0u))
            return ::testing::AssertionFailure() << "limb " << i << " differs";
    return ::testing::AssertionSuccess();
}

mp::Number midpoint_of(double a, double b) {
    return mp::scale2(mp::add(mp::from_double(a, 3), mp::from_double(b, 3), 3), -1);
}

// Doubles convert both ways exactly; the exact product of two doubles (106
// bits) is Dekker's pair of doubles, computed independently of this
// arithmetic, and divided by one factor it gives the other back whole.
TEST(MultiprecisionConversion, DoublesAndTheirProductsAreExact) {
    for (double x : {0.0, -0.0, 0x1p-1074, -0x1p-1074, 0x1.fffffffffffffp-1023, 0x1p-1022, 1.0, -1.5,
                     0x1.fffffffffffffp+1023, -0x1.fffffffffffffp+1023, 3.0, 1e300, 1e-300})
        EXPECT_TRUE(same(mp::nearest_double(mp::from_double(x, 2)), x)) << x;
    EXPECT_EQ(mp::from_integer(INT64_MIN, 2).exponent, 64);
    EXPECT_EQ(mp::nearest_double(mp::from_integer(INT64_MIN, 2)), -0x1p63);
    EXPECT_EQ(mp::nearest_double(mp::from_integer(-12345, 2)), -12345.0);
    EXPECT_TRUE(same(mp::nearest_double(mp::from_integer(0, 2)), 0.0));  // +0, not -0
    // Zero against either sign, both ways round.
    const mp::Number zero = mp::from_integer(0, 2), one = mp::from_integer(1, 2), minus_one = mp::from_integer(-1, 2);
    EXPECT_TRUE(mp::compare(zero, one) < 0 && mp::compare(one, zero) > 0 && mp::compare(minus_one, zero) < 0 &&
                mp::compare(zero, minus_one) > 0 && mp::compare(zero, mp::zero(3)) == 0);
    // 2^k - 1: a leading limb with every count of leading zeros to normalize away.
    for (int k = 1; k <= 53; ++k)
        EXPECT_EQ(mp::nearest_double(mp::from_integer((std::int64_t{1} << k) - 1, 2)), std::ldexp(1.0, k) - 1.0) << k;
    Rng rng(1);
    for (int i = 0; i < 20000; ++i) {
        const double x = rng.finite_bits(false);
        const mp::Number n = mp::from_double(x, 1 + static_cast<int>(rng.below(5)));
        double back = 0;
        ASSERT_TRUE(same(mp::nearest_double(n), x) && mp::round_to_double(n, 0, back) && same(back, x))
            << std::hexfloat << x;
        const double a = rng.sign() * rng.binades(-400, 400), b = rng.sign() * rng.binades(-400, 400);
        const quelmar::maths::DoubleDouble p = quelmar::maths::two_prod(a, b);
        const mp::Number exact = mp::mul(mp::from_double(a, 2), mp::from_double(b, 2), 4);
        const mp::Number q = mp::div(exact, mp::from_double(b, 2), 2);
        ASSERT_TRUE(same(mp::nearest_double(exact), p.hi) &&
                    same(mp::nearest_double(mp::sub(exact, mp::from_double(p.hi, 2), 4)), p.lo) &&
                    same(mp::nearest_double(q), a) && mp::compare(q, mp::from_double(a, 2)) == 0)
            << std::hexfloat << a << " " << b;
    }
}

TEST(MultiprecisionArithmetic, SumsAreExactWithRoomAndTruncatedWithout) {
    Rng rng(3);
    for (int i = 0; i < 5000; ++i) {
        const int n = 1 + static_cast<int>(rng.below(6));
        const mp::Number a = random_number(rng, 6, 200);
        mp::Number b = random_number(rng, 6, 200);
        if (i % 4 == 0) b.exponent = a.exponent - static_cast<int>(rng.below(3));  // cancellation
        // 20 limbs hold every exact sum of these (exponents within 400 bits).
        const mp::Number sum = mp::add(a, b, 20), difference = mp::sub(a, b, 20);
        ASSERT_TRUE(is_truncation_of(mp::add(a, b, n), sum)) << i;
        ASSERT_TRUE(is_truncation_of(mp::sub(a, b, n), difference)) << i;
        // Exact: (a + b) - b == a.
        ASSERT_TRUE(mp::compare(mp::sub(sum, b, 20), a) == 0 && mp::compare(mp::add(difference, b, 20), a) == 0) << i;
    }
}

TEST(MultiprecisionArithmetic, DroppedBitsBorrowAcrossTheTruncation) {
    // 1 - 2^-200 (1 + 2^-40) on two limbs: the exact value is just below 1,
    // so the truncation is 64 ones, though the subtrahend's bits all fall
    // past the operands' alignment buffer.
    const mp::Number one = mp::from_integer(1, 2);
    const mp::Number tiny = mp::scale2(mp::from_double(1.0 + 0x1p-40, 2), -200);
    const mp::Number r = mp::sub(one, tiny, 2);
    EXPECT_TRUE(r.exponent == 0 && r.limb[0] == 0xFFFFFFFFu && r.limb[1] == 0xFFFFFFFFu);
    // And the sum stays 1 exactly at that precision, then grows by one unit
    // of the last bit when the tiny part fits.
    EXPECT_EQ(mp::compare(mp::add(one, tiny, 2), one), 0);
    EXPECT_EQ(mp::add(one, tiny, 8).limb[6], 1u << 23);  // 2^-200 is bit 200 of 1's mantissa
    // Equal magnitudes cancel to a positive zero.
    const mp::Number zero = mp::sub(tiny, tiny, 3);
    EXPECT_TRUE(mp::is_zero(zero) && !zero.negative);
}

// q = a / b truncated to n limbs: |q b| <= |a| < |(q + ulp) b|.
::testing::AssertionResult is_truncated_quotient(const mp::Number& a, const mp::Number& b, int n) {
    const mp::Number q = mp::div(a, b, n);
    const mp::Number unit = mp::scale2(mp::from_integer(q.negative ? -1 : 1, 2), mp::ulp_exponent(q));
    if (q.negative == (a.negative != b.negative) && mp::compare_magnitude(mp::mul(q, b, 32), a) <= 0 &&
        mp::compare_magnitude(a, mp::mul(mp::add(q, unit, 32), b, 32)) < 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "not the truncated quotient: " << mp::nearest_double(q);
}

TEST(MultiprecisionArithmetic, ProductsAndQuotientsAreTruncations) {
    Rng rng(4);
    for (int i = 0; i < 3000; ++i) {
        const int n = 1 + static_cast<int>(rng.below(8));
        const mp::Number a = random_number(rng, 8, 100), b = random_number(rng, 8, 100);
        ASSERT_TRUE(is_truncation_of(mp::mul(a, b, n), mp::mul(a, b, 16))) << i;
        ASSERT_TRUE(is_truncated_quotient(a, b, n)) << i;
    }
    // Trial quotient digits one too large, which the long division mends by
    // adding the divisor back: rare at random, these were found by a search.
    EXPECT_TRUE(is_truncated_quotient(from_limbs({0x80000000, 0x7fffffff, 0xffff}),
                                      from_limbs({0x80000000, 0x7fffffff, 0x8afbb4e3}), 1));
    EXPECT_TRUE(is_truncated_quotient(from_limbs({0x80000002, 2}), from_limbs({0x80000002, 2, 0x80000000}), 4));
    EXPECT_TRUE(is_truncated_quotient(from_limbs({0x80000000, 0x7fffffff}), from_limbs({~0u, 0, 0x80000000}), 2));
    // 1/3 is 0.0101... in binary.
    const mp::Number third = mp::div_small(mp::from_integer(1, 4), 3, 4);
    EXPECT_EQ(third.exponent, -1);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(third.limb[i], 0xAAAAAAAAu);
    EXPECT_EQ(mp::compare(third, mp::div(mp::from_integer(1, 4), mp::from_integer(3, 4), 4)), 0);
}

TEST(MultiprecisionArithmetic, SmallFactorsUndoEachOther) {
    Rng rng(5);
    for (int i = 0; i < 3000; ++i) {
        const mp::Number a = random_number(rng, 6, 50);
        const std::uint32_t k = static_cast<std::uint32_t>(rng.next()) | 1u;
        // a * k needs one limb more than a; the quotient is then exact.
        const mp::Number product = mp::mul_small(a, k, a.limbs + 1);
        EXPECT_EQ(mp::compare(mp::div_small(product, k, a.limbs), a), 0);
        EXPECT_TRUE(is_truncation_of(mp::mul_small(a, k, a.limbs), product));
        // div_small agrees with the general division by a one-limb number.
        EXPECT_EQ(mp::compare(mp::div_small(a, k, 5), mp::div(a, mp::from_integer(k, 2), 5)), 0);
    }
}

TEST(MultiprecisionArithmetic, NearestIntegerSplitsExactly) {
    // x = k + f, |f| <= 1/2, k modulo 2^64 (1e300's low bits are zeros);
    // last, the low bits of a huge integer part: 3 * 2^70 + 5 + 0.5.
    const struct {
        mp::Number x;
        std::int64_t k;
        double f;
    } cases[] = {{mp::from_double(2.5, 3), 3, -0.5}, {mp::from_double(-2.5, 3), -3, 0.5},
                 {mp::from_double(7.25, 3), 7, 0.25}, {mp::from_double(0.5, 3), 1, -0.5},
                 {mp::from_double(0.25, 3), 0, 0.25}, {mp::from_double(-0.75, 3), -1, 0.25},
                 {mp::from_double(0x1p40 + 0.75, 3), 0x10000000001, -0.25}, {mp::from_double(1e300, 3), 0, 0.0},
                 {mp::from_double(-0x1p62 - 0x1p10, 3), INT64_MIN + 0x4000000000000000 - 1024, 0.0},
                 {mp::add(mp::scale2(mp::from_integer(3, 2), 70), mp::from_double(5.5, 2), 4), 6, -0.5}};
    for (const auto& c : cases) {
        std::uint64_t k = 12345;
        const mp::Number f = mp::split_nearest_integer(c.x, k);
        EXPECT_TRUE(static_cast<std::int64_t>(k) == c.k && mp::nearest_double(f) == c.f) << mp::nearest_double(c.x);
    }
}

TEST(MultiprecisionRounding, MidpointsGoToEvenAndTheirNeighboursAway) {
    // The midpoint between a double and its successor, and the same nudged
    // by 2^-60 of it either way; on the normal grid, across a power of two,
    // on the subnormal grid and at the top.
    for (double low : {1.0, 1.0 + 0x1p-52, 0x1.fffffffffffffp-1, 0x1.fffffffffffffp+1023 * 0.5, 0x1p-1074, 0x1p-1073,
                       0x0.fffffffffffffp-1022, 0x1p-1022, 0.0, 3.0, 0x1.5555555555555p-1030}) {
        const double high = from_bits(to_bits(low) + 1);
        const double even = (to_bits(low) & 1) == 0 ? low : high;
        const mp::Number middle = midpoint_of(low, high);
        const mp::Number nudge = mp::scale2(mp::from_double(high, 3), -60);
        EXPECT_TRUE(same(mp::nearest_double(middle), even)) << std::hexfloat << low;
        EXPECT_TRUE(same(mp::nearest_double(mp::add(middle, nudge, 6)), high)) << std::hexfloat << low;
        EXPECT_TRUE(same(mp::nearest_double(mp::sub(middle, nudge, 6)), low)) << std::hexfloat << low;
        EXPECT_TRUE(same(mp::nearest_double(mp::negate(middle)), -even)) << std::hexfloat << low;
    }
    // One bit anywhere past the midpoint of 1 and its successor, at each
    // place the rounding reads it from, rounds up.
    for (int k = 54; k < 200; ++k)
        EXPECT_EQ(mp::nearest_double(mp::add(midpoint_of(1.0, 1.0 + 0x1p-52), two_to(-k), 7)), 1.0 + 0x1p-52) << k;
    // Past the largest double: its midpoint with 2^1024 goes to infinity.
    const mp::Number top = mp::sub(two_to(1024), two_to(970), 3);
    EXPECT_EQ(mp::nearest_double(top), INFINITY);
    EXPECT_EQ(mp::nearest_double(mp::sub(top, two_to(900), 6)), DBL_MAX);
    EXPECT_EQ(mp::nearest_double(mp::negate(two_to(5000))), -INFINITY);
    // Half the smallest subnormal ties to zero; a quarter rounds to zero.
    EXPECT_TRUE(same(mp::nearest_double(mp::negate(two_to(-1075))), -0.0));
    EXPECT_TRUE(same(mp::nearest_double(two_to(-1076)), 0.0));
    EXPECT_TRUE(same(mp::nearest_double(mp::scale2(mp::from_integer(3, 2), -1076)), 0x1p-1074));
    // Below 1 the grid is twice as fine: 1 - 2^-54 is a midpoint (to 1.0),
    // 1 - 2^-54 - 2^-80 is not.
    const mp::Number under_one = mp::sub(mp::from_integer(1, 2), two_to(-54), 3);
    EXPECT_EQ(mp::nearest_double(under_one), 1.0);
    EXPECT_EQ(mp::nearest_double(mp::sub(under_one, two_to(-80), 4)), 0x1.fffffffffffffp-1);
}

TEST(MultiprecisionRounding, DecidesOnlyWhenNoBoundaryIsWithinTheError) {
    double result = 0.0;
    // 1 + 2^-53 + 2^-100 is 2^-100 above the midpoint of 1 and its successor.
    const mp::Number above = mp::add(midpoint_of(1.0, 1.0 + 0x1p-52), two_to(-100), 4);
    EXPECT_TRUE(mp::round_to_double(above, 1, -101, result));
    EXPECT_EQ(result, 1.0 + 0x1p-52);
    result = 7.0;
    EXPECT_FALSE(mp::round_to_double(above, 1, -100, result));  // reaches the midpoint itself
    EXPECT_FALSE(mp::round_to_double(above, 1, -99, result));
    EXPECT_EQ(result, 7.0);
    // The same from below: an error that reaches the midpoint from 1's side.
    const mp::Number below = mp::sub(midpoint_of(1.0, 1.0 + 0x1p-52), two_to(-100), 4);
    EXPECT_TRUE(mp::round_to_double(below, 1, -101, result) && result == 1.0);
    EXPECT_FALSE(mp::round_to_double(below, 1, -100, result));
    // In units of the last bit: 4 limbs put it at 2^-127.
    EXPECT_TRUE(mp::round_to_double(above, (std::uint64_t{1} << 26) - 1, result));
    EXPECT_FALSE(mp::round_to_double(above, std::uint64_t{1} << 27, result));
    // Just above the lower midpoint, below a power of two: the boundary
    // 1 - 2^-54 lies a quarter unit away.
    const mp::Number near_one = mp::sub(mp::from_integer(1, 2), two_to(-55), 3);
    EXPECT_TRUE(mp::round_to_double(near_one, 1, -57, result));
    EXPECT_EQ(result, 1.0);
    EXPECT_FALSE(mp::round_to_double(near_one, 1, -55, result));
    // Near zero the other side has the other sign: never decided across it.
    EXPECT_TRUE(mp::round_to_double(two_to(-1100), 1, -1102, result));
    EXPECT_TRUE(same(result, 0.0));
    EXPECT_FALSE(mp::round_to_double(mp::negate(two_to(-1100)), 1, -1100, result));
    // The largest double's upper neighbour is infinity.
    EXPECT_TRUE(mp::round_to_double(two_to(1030), 1, 1000, result));
    EXPECT_EQ(result, INFINITY);
    EXPECT_FALSE(mp::round_to_double(two_to(1030), 2, 1029, result));
}

// pi, ln 2 and ln 10 to the last bit of the tables, by series computed here
// (shorter copies are the same table cut short); and the bits of 2/pi.
TEST(MultiprecisionConstants, AgreeWithTheirSeriesToTheLastBit) {
    const int n = mp::kMaxLimbs;
    const int bits = mp::kLimbBits * n;
    // sum over k of (-1)^k / ((2k + 1) m^(2k + 1)) (atan(1/m)), or of the
    // same terms all added (atanh(1/m)), in this arithmetic.
    const auto series = [n, bits](std::uint32_t m, bool alternating) {
        mp::Number power = mp::div_small(mp::from_integer(1, 2), m, n);
        mp::Number sum = power;
        for (std::uint32_t k = 1; !mp::is_zero(power) && power.exponent > -(bits + 64); ++k) {
            power = mp::div_small(mp::div_small(power, m, n), m, n);
            const mp::Number term = mp::div_small(power, 2 * k + 1, n);
            sum = alternating && (k & 1) ? mp::sub(sum, term, n) : mp::add(sum, term, n);
        }
        return sum;
    };
    // pi by Machin's formula: 16 atan(1/5) - 4 atan(1/239).
    const mp::Number pi = mp::pi(n);
    EXPECT_TRUE(below_power(
        mp::sub(mp::sub(mp::mul_small(series(5, true), 16, n), mp::mul_small(series(239, true), 4, n), n), pi, n),
        2 - bits + 16));
    // 2/pi times pi is 2, to the table's precision: the first 4,000 bits of
    // 2/pi. Windows further on continue the same expansion.
    EXPECT_TRUE(below_power(mp::sub(mp::mul(mp::two_over_pi_bits(1, n), pi, n), mp::from_integer(2, 2), n), 4 - bits));
    // A window further on is the fraction of an earlier one shifted: the
    // table read at any offset, leading zeros skipped, is one expansion.
    for (int first : {2, 33, 100, 3000, 5000})
        for (int step : {1, 16, 31, 32, 70}) {
            std::uint64_t k = 0;  // the fraction, in [0, 1)
            mp::Number later = mp::split_nearest_integer(mp::scale2(mp::two_over_pi_bits(first, 6), step), k);
            if (later.negative && !mp::is_zero(later)) later = mp::add(later, mp::from_integer(1, 2), 6);
            EXPECT_TRUE(below_power(mp::sub(later, mp::two_over_pi_bits(first + step, 3), 8), -90))
                << first << " + " << step;
        }
    // ln 2 = 2 atanh(1/3); ln 10 = 3 ln 2 + ln(5/4), ln(5/4) = 2 atanh(1/9).
    EXPECT_TRUE(below_power(mp::sub(mp::scale2(series(3, false), 1), mp::ln2(n), n), 2 - bits + 14));
    const mp::Number ln10 = mp::add(mp::mul_small(mp::ln2(n), 3, n), mp::scale2(series(9, false), 1), n);
    EXPECT_TRUE(below_power(mp::sub(ln10, mp::ln10(n), n), 2 - bits + 14));
    for (int limbs : {1, 12, 64}) {
        EXPECT_TRUE(is_truncation_of(mp::pi(limbs), pi)) << limbs;
        EXPECT_TRUE(is_truncation_of(mp::ln2(limbs), mp::ln2(n))) << limbs;
        EXPECT_TRUE(is_truncation_of(mp::ln10(limbs), mp::ln10(n))) << limbs;
    }
}

}  // namespace
}  // namespace maths_test
