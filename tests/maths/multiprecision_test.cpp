// The multiprecision arithmetic of the exact paths: exactness where the
// result fits, truncation toward zero (never more than one unit of the last
// bit off) where it does not, the rounding to double on every grid, and the
// constants against published digits.
#include <gtest/gtest.h>

#include <cfloat>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "maths/double_double.h"
#include "maths/multiprecision.h"

namespace {

using quelmar::maths::from_bits;
using quelmar::maths::to_bits;
namespace mp = quelmar::maths::mp;

// splitmix64: a fixed stream of test values.
struct Stream {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // A finite double of random sign, mantissa and exponent in [lo, hi].
    double finite(int lo, int hi) {
        std::uint64_t r = next();
        int e = lo + static_cast<int>(r % static_cast<std::uint64_t>(hi - lo + 1));
        std::uint64_t mantissa = next() & 0x000FFFFFFFFFFFFFull;
        return from_bits((r >> 63) << 63 | static_cast<std::uint64_t>(e + 1023) << 52 | mantissa);
    }
    // A number of `limbs` random limbs with exponent in [-range, range].
    mp::Number number(int limbs, int range) {
        mp::Number n = mp::zero(limbs);
        for (int i = 0; i < limbs; ++i) n.limb[i] = static_cast<std::uint32_t>(next());
        n.limb[0] |= 0x80000000u;
        n.exponent = static_cast<int>(next() % static_cast<std::uint64_t>(2 * range + 1)) - range;
        n.negative = (next() & 1) != 0;
        return n;
    }
};

constexpr double kInfinity = std::numeric_limits<double>::infinity();

bool same_bits(double a, double b) { return to_bits(a) == to_bits(b); }

// r is the truncation toward zero of `exact` (computed with room to spare)
// to r.limbs limbs: same sign and exponent, the leading limbs equal.
::testing::AssertionResult is_truncation_of(const mp::Number& r, const mp::Number& exact) {
    if (mp::is_zero(exact)) {
        return mp::is_zero(r) ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << "not zero";
    }
    if (r.negative != exact.negative || r.exponent != exact.exponent) {
        return ::testing::AssertionFailure() << "sign or exponent differ: " << r.exponent << " vs " << exact.exponent;
    }
    for (int i = 0; i < r.limbs; ++i) {
        std::uint32_t want = i < exact.limbs ? exact.limb[i] : 0;
        if (r.limb[i] != want) return ::testing::AssertionFailure() << "limb " << i << " differs";
    }
    return ::testing::AssertionSuccess();
}

// The fractional part of a, in [0, 1).
mp::Number fraction_part(const mp::Number& a) {
    std::uint64_t k = 0;
    mp::Number f = mp::split_nearest_integer(a, k);
    return f.negative && !mp::is_zero(f) ? mp::add(f, mp::from_integer(1, 2), a.limbs) : f;
}

mp::Number midpoint_of(double a, double b) {
    return mp::scale2(mp::add(mp::from_double(a, 3), mp::from_double(b, 3), 3), -1);
}

// The leading decimal digits of a non-negative v below 10, as "d.ddd...".
std::string decimal(mp::Number v, int digits) {
    std::string out;
    for (int i = 0; i <= digits; ++i) {
        std::uint64_t k = 0;
        mp::Number f = mp::split_nearest_integer(v, k);
        if (f.negative && !mp::is_zero(f)) {
            k -= 1;
            f = mp::add(f, mp::from_integer(1, 2), v.limbs);
        }
        out += static_cast<char>('0' + k);
        if (i == 0) out += '.';
        v = mp::mul_small(f, 10, v.limbs);
    }
    return out;
}

TEST(MultiprecisionConversion, DoublesRoundTripExactly) {
    const double specials[] = {0.0, -0.0, 0x1p-1074, -0x1p-1074, 0x1.fffffffffffffp-1023, 0x1p-1022, 1.0, -1.5,
                               0x1.fffffffffffffp+1023, -0x1.fffffffffffffp+1023, 3.0, 1e300, 1e-300};
    for (double x : specials) EXPECT_TRUE(same_bits(mp::nearest_double(mp::from_double(x, 2)), x)) << x;
    Stream s{1};
    for (int i = 0; i < 20000; ++i) {
        double x = from_bits(s.next());
        if (x != x || x - x != 0.0) continue;  // NaN and infinities are not numbers here
        mp::Number n = mp::from_double(x, 1 + static_cast<int>(s.next() % 5));
        ASSERT_TRUE(same_bits(mp::nearest_double(n), x)) << std::hexfloat << x;
        double back = 0;
        ASSERT_TRUE(mp::round_to_double(n, 0, back));
        ASSERT_TRUE(same_bits(back, x));
    }
    EXPECT_EQ(mp::from_integer(INT64_MIN, 2).exponent, 64);
    EXPECT_EQ(mp::nearest_double(mp::from_integer(INT64_MIN, 2)), -0x1p63);
    EXPECT_EQ(mp::nearest_double(mp::from_integer(-12345, 2)), -12345.0);
}

TEST(MultiprecisionArithmetic, ProductsOfDoublesMatchDekker) {
    // The exact product of two doubles has 106 bits; Dekker's product splits
    // it into two doubles, independently of this arithmetic.
    Stream s{2};
    for (int i = 0; i < 20000; ++i) {
        double a = s.finite(-400, 400);
        double b = s.finite(-400, 400);
        quelmar::maths::DoubleDouble p = quelmar::maths::two_prod(a, b);
        mp::Number exact = mp::mul(mp::from_double(a, 2), mp::from_double(b, 2), 4);
        EXPECT_TRUE(same_bits(mp::nearest_double(exact), p.hi));
        EXPECT_TRUE(same_bits(mp::nearest_double(mp::sub(exact, mp::from_double(p.hi, 2), 4)), p.lo));
        // Exact quotients come back whole.
        mp::Number q = mp::div(exact, mp::from_double(b, 2), 2);
        ASSERT_TRUE(same_bits(mp::nearest_double(q), a)) << std::hexfloat << a << " " << b;
        ASSERT_EQ(mp::compare(q, mp::from_double(a, 2)), 0);
    }
}

TEST(MultiprecisionArithmetic, SumsAreExactWithRoomAndTruncatedWithout) {
    Stream s{3};
    for (int i = 0; i < 5000; ++i) {
        const int n = 1 + static_cast<int>(s.next() % 6);
        mp::Number a = s.number(1 + static_cast<int>(s.next() % 6), 200);
        mp::Number b = s.number(1 + static_cast<int>(s.next() % 6), 200);
        if (i % 4 == 0) b.exponent = a.exponent - static_cast<int>(s.next() % 3);  // cancellation
        // 20 limbs hold every exact sum of these (exponents within 400 bits).
        mp::Number sum = mp::add(a, b, 20);
        mp::Number difference = mp::sub(a, b, 20);
        ASSERT_TRUE(is_truncation_of(mp::add(a, b, n), sum)) << i;
        ASSERT_TRUE(is_truncation_of(mp::sub(a, b, n), difference)) << i;
        // Exact: (a + b) - b == a.
        ASSERT_EQ(mp::compare(mp::sub(sum, b, 20), a), 0) << i;
        ASSERT_EQ(mp::compare(mp::add(difference, b, 20), a), 0) << i;
    }
}

TEST(MultiprecisionArithmetic, DroppedBitsBorrowAcrossTheTruncation) {
    // 1 - 2^-200 (1 + 2^-40) on two limbs: the exact value is just below 1,
    // so the truncation is 64 ones, though the subtrahend's bits all fall
    // past the operands' alignment buffer.
    mp::Number one = mp::from_integer(1, 2);
    mp::Number tiny = mp::scale2(mp::from_double(1.0 + 0x1p-40, 2), -200);
    mp::Number r = mp::sub(one, tiny, 2);
    EXPECT_EQ(r.exponent, 0);
    EXPECT_EQ(r.limb[0], 0xFFFFFFFFu);
    EXPECT_EQ(r.limb[1], 0xFFFFFFFFu);
    // And the sum stays 1 exactly at that precision, then grows by one unit
    // of the last bit when the tiny part fits.
    EXPECT_EQ(mp::compare(mp::add(one, tiny, 2), one), 0);
    mp::Number wide = mp::add(one, tiny, 8);
    EXPECT_EQ(wide.limb[6], 1u << 23);  // 2^-200 is bit 200 of 1's mantissa
    // Equal magnitudes cancel to a positive zero.
    mp::Number zero = mp::sub(tiny, tiny, 3);
    EXPECT_TRUE(mp::is_zero(zero));
    EXPECT_FALSE(zero.negative);
}

TEST(MultiprecisionArithmetic, ProductsAndQuotientsAreTruncations) {
    Stream s{4};
    for (int i = 0; i < 3000; ++i) {
        const int n = 1 + static_cast<int>(s.next() % 8);
        mp::Number a = s.number(1 + static_cast<int>(s.next() % 8), 100);
        mp::Number b = s.number(1 + static_cast<int>(s.next() % 8), 100);
        ASSERT_TRUE(is_truncation_of(mp::mul(a, b, n), mp::mul(a, b, 16))) << i;
        // q = a / b truncated: |q b| <= |a| < |(q + ulp) b|.
        mp::Number q = mp::div(a, b, n);
        ASSERT_EQ(q.negative, a.negative != b.negative);
        mp::Number low = mp::mul(q, b, 32);
        mp::Number unit = mp::scale2(mp::from_integer(q.negative ? -1 : 1, 2), mp::ulp_exponent(q));
        mp::Number high = mp::mul(mp::add(q, unit, 32), b, 32);
        ASSERT_LE(mp::compare_magnitude(low, a), 0) << i;
        ASSERT_LT(mp::compare_magnitude(a, high), 0) << i;
    }
    // 1/3 is 0.0101... in binary.
    mp::Number third = mp::div_small(mp::from_integer(1, 4), 3, 4);
    EXPECT_EQ(third.exponent, -1);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(third.limb[i], 0xAAAAAAAAu);
    mp::Number also_third = mp::div(mp::from_integer(1, 4), mp::from_integer(3, 4), 4);
    EXPECT_EQ(mp::compare(third, also_third), 0);
}

TEST(MultiprecisionArithmetic, SmallFactorsUndoEachOther) {
    Stream s{5};
    for (int i = 0; i < 3000; ++i) {
        mp::Number a = s.number(1 + static_cast<int>(s.next() % 6), 50);
        std::uint32_t k = static_cast<std::uint32_t>(s.next()) | 1u;
        // a * k needs one limb more than a; the quotient is then exact.
        mp::Number product = mp::mul_small(a, k, a.limbs + 1);
        EXPECT_EQ(mp::compare(mp::div_small(product, k, a.limbs), a), 0);
        EXPECT_TRUE(is_truncation_of(mp::mul_small(a, k, a.limbs), product));
        // div_small agrees with the general division by a one-limb number.
        mp::Number by_small = mp::div_small(a, k, 5);
        mp::Number by_number = mp::div(a, mp::from_integer(k, 2), 5);
        EXPECT_EQ(mp::compare(by_small, by_number), 0);
    }
}

TEST(MultiprecisionArithmetic, NearestIntegerSplitsExactly) {
    struct Case {
        double x;
        std::int64_t k;
        double f;
    };
    const Case cases[] = {{2.5, 3, -0.5},   {-2.5, -3, 0.5},         {7.25, 7, 0.25},   {0.5, 1, -0.5},
                          {0.25, 0, 0.25},  {-0.75, -1, 0.25},       {0x1p40 + 0.75, 0x10000000001, -0.25},
                          {1e300, 0, 0.0},  {-0x1p62 - 0x1p10, INT64_MIN + 0x4000000000000000 - 1024, 0.0}};
    for (const Case& c : cases) {
        std::uint64_t k = 12345;
        mp::Number f = mp::split_nearest_integer(mp::from_double(c.x, 3), k);
        EXPECT_EQ(static_cast<std::int64_t>(k), c.k) << c.x;
        EXPECT_EQ(mp::nearest_double(f), c.f) << c.x;
    }
    // The low bits of a huge integer part: 3 * 2^70 + 5 + 0.5 on four limbs.
    mp::Number big = mp::add(mp::scale2(mp::from_integer(3, 2), 70), mp::from_double(5.5, 2), 4);
    std::uint64_t k = 0;
    mp::Number f = mp::split_nearest_integer(big, k);
    EXPECT_EQ(k, 6u);
    EXPECT_EQ(mp::nearest_double(f), -0.5);
}

TEST(MultiprecisionRounding, MidpointsGoToEvenAndTheirNeighboursAway) {
    // The midpoint between a double and its successor, and the same nudged
    // by 2^-60 of it either way; on the normal grid, across a power of two,
    // on the subnormal grid and at the top.
    const double lows[] = {1.0,
                           1.0 + 0x1p-52,
                           0x1.fffffffffffffp-1,
                           0x1.fffffffffffffp+1023 * 0.5,
                           0x1p-1074,
                           0x1p-1073,
                           0x0.fffffffffffffp-1022,
                           0x1p-1022,
                           0.0,
                           3.0,
                           0x1.5555555555555p-1030};
    for (double low : lows) {
        double high = from_bits(to_bits(low) + 1);
        double even = (to_bits(low) & 1) == 0 ? low : high;
        mp::Number middle = midpoint_of(low, high);
        mp::Number nudge = mp::scale2(mp::from_double(high, 3), -60);
        EXPECT_TRUE(same_bits(mp::nearest_double(middle), even)) << std::hexfloat << low;
        EXPECT_TRUE(same_bits(mp::nearest_double(mp::add(middle, nudge, 6)), high)) << std::hexfloat << low;
        EXPECT_TRUE(same_bits(mp::nearest_double(mp::sub(middle, nudge, 6)), low)) << std::hexfloat << low;
        EXPECT_TRUE(same_bits(mp::nearest_double(mp::negate(middle)), -even)) << std::hexfloat << low;
    }
    // Past the largest double: its midpoint with 2^1024 goes to infinity.
    mp::Number top = mp::sub(mp::scale2(mp::from_integer(1, 2), 1024), mp::scale2(mp::from_integer(1, 2), 970), 3);
    EXPECT_EQ(mp::nearest_double(top), kInfinity);
    EXPECT_EQ(mp::nearest_double(mp::sub(top, mp::scale2(mp::from_integer(1, 2), 900), 6)), DBL_MAX);
    EXPECT_EQ(mp::nearest_double(mp::negate(mp::scale2(mp::from_integer(1, 2), 5000))), -kInfinity);
    // Half the smallest subnormal ties to zero; a quarter rounds to zero.
    EXPECT_TRUE(same_bits(mp::nearest_double(mp::scale2(mp::from_integer(-1, 2), -1075)), -0.0));
    EXPECT_TRUE(same_bits(mp::nearest_double(mp::scale2(mp::from_integer(1, 2), -1076)), 0.0));
    EXPECT_TRUE(same_bits(mp::nearest_double(mp::scale2(mp::from_integer(3, 2), -1076)), 0x1p-1074));
    // Below 1 the grid is twice as fine: 1 - 2^-54 is a midpoint (to 1.0),
    // 1 - 2^-54 - 2^-80 is not.
    mp::Number under_one = mp::sub(mp::from_integer(1, 2), mp::scale2(mp::from_integer(1, 2), -54), 3);
    EXPECT_EQ(mp::nearest_double(under_one), 1.0);
    EXPECT_EQ(mp::nearest_double(mp::sub(under_one, mp::scale2(mp::from_integer(1, 2), -80), 4)),
              0x1.fffffffffffffp-1);
}

TEST(MultiprecisionRounding, DecidesOnlyWhenNoBoundaryIsWithinTheError) {
    double result = 0.0;
    // 1 + 2^-53 + 2^-100 is 2^-100 above the midpoint of 1 and its successor.
    mp::Number above = mp::add(midpoint_of(1.0, 1.0 + 0x1p-52), mp::scale2(mp::from_integer(1, 2), -100), 4);
    EXPECT_TRUE(mp::round_to_double(above, 1, -101, result));
    EXPECT_EQ(result, 1.0 + 0x1p-52);
    result = 7.0;
    EXPECT_FALSE(mp::round_to_double(above, 1, -100, result));  // reaches the midpoint itself
    EXPECT_FALSE(mp::round_to_double(above, 1, -99, result));
    EXPECT_EQ(result, 7.0);
    // In units of the last bit: 4 limbs put it at 2^-127.
    EXPECT_TRUE(mp::round_to_double(above, (std::uint64_t{1} << 26) - 1, result));
    EXPECT_FALSE(mp::round_to_double(above, std::uint64_t{1} << 27, result));
    // Just above the lower midpoint, below a power of two: the boundary
    // 1 - 2^-54 lies a quarter unit away.
    mp::Number near_one = mp::sub(mp::from_integer(1, 2), mp::scale2(mp::from_integer(1, 2), -55), 3);
    EXPECT_TRUE(mp::round_to_double(near_one, 1, -57, result));
    EXPECT_EQ(result, 1.0);
    EXPECT_FALSE(mp::round_to_double(near_one, 1, -55, result));
    // Near zero the other side has the other sign: never decided across it.
    mp::Number tiny = mp::scale2(mp::from_integer(1, 2), -1100);
    EXPECT_TRUE(mp::round_to_double(tiny, 1, -1102, result));
    EXPECT_TRUE(same_bits(result, 0.0));
    EXPECT_FALSE(mp::round_to_double(mp::negate(tiny), 1, -1100, result));
    // The largest double's upper neighbour is infinity.
    mp::Number huge = mp::scale2(mp::from_integer(1, 2), 1030);
    EXPECT_TRUE(mp::round_to_double(huge, 1, 1000, result));
    EXPECT_EQ(result, kInfinity);
    EXPECT_FALSE(mp::round_to_double(huge, 2, 1029, result));
}

TEST(MultiprecisionConstants, MatchPublishedDigits) {
    // Published expansions (100 decimals).
    const std::string kPi =
        "3.1415926535897932384626433832795028841971693993751058209749445923078164062862089986280348253421170679";
    const std::string kLn2 =
        "0.6931471805599453094172321214581765680755001343602552541206800094933936219696947156058633269964186875";
    const std::string kLn10 =
        "2.3025850929940456840179914546843642076011014886287729760333279009675726096773524802359972050895982983";
    for (int limbs : {12, 64, mp::kMaxLimbs}) {
        EXPECT_EQ(decimal(mp::pi(limbs), 100), kPi) << limbs;
        EXPECT_EQ(decimal(mp::ln2(limbs), 100), kLn2) << limbs;
        EXPECT_EQ(decimal(mp::ln10(limbs), 100), kLn10) << limbs;
    }
}

TEST(MultiprecisionConstants, AgreeWithEachOtherToTheLastBit) {
    const int n = mp::kMaxLimbs;
    const int bits = mp::kLimbBits * n;
    // pi by Machin's formula in this arithmetic: 16 atan(1/5) - 4 atan(1/239).
    auto atan_inverse = [n](std::uint32_t m) {
        mp::Number power = mp::div_small(mp::from_integer(1, 2), m, n);
        mp::Number sum = power;
        for (std::uint32_t k = 1; !mp::is_zero(power) && power.exponent > -(mp::kLimbBits * n + 64); ++k) {
            power = mp::div_small(mp::div_small(power, m, n), m, n);
            mp::Number term = mp::div_small(power, 2 * k + 1, n);
            sum = (k & 1) ? mp::sub(sum, term, n) : mp::add(sum, term, n);
        }
        return sum;
    };
    mp::Number machin = mp::sub(mp::mul_small(atan_inverse(5), 16, n), mp::mul_small(atan_inverse(239), 4, n), n);
    mp::Number pi = mp::pi(n);
    EXPECT_LT(mp::compare_magnitude(mp::sub(machin, pi, n), mp::scale2(mp::from_integer(1, 2), 2 - bits + 16)), 0);
    // 2/pi times pi is 2, to the table's precision: the first 4,000 bits of
    // 2/pi. Windows further on continue the same expansion.
    mp::Number two = mp::mul(mp::two_over_pi_bits(1, n), pi, n);
    EXPECT_LT(mp::compare_magnitude(mp::sub(two, mp::from_integer(2, 2), n), mp::scale2(mp::from_integer(1, 2), 4 - bits)),
              0);
    // A window further on is the fraction of an earlier one shifted: the
    // table read at any offset, leading zeros skipped, is one expansion.
    for (int first : {2, 33, 100, 3000, 5000}) {
        for (int step : {1, 16, 31, 32, 70}) {
            mp::Number later = fraction_part(mp::scale2(mp::two_over_pi_bits(first, 6), step));
            mp::Number direct = mp::two_over_pi_bits(first + step, 3);
            EXPECT_LT(mp::compare_magnitude(mp::sub(later, direct, 8), mp::scale2(mp::from_integer(1, 2), -90)), 0)
                << first << " + " << step;
        }
    }
    // ln 10 = 3 ln 2 + ln(5/4), ln(5/4) = 2 atanh(1/9).
    mp::Number power = mp::div_small(mp::from_integer(1, 2), 9, n);
    mp::Number atanh = power;
    for (std::uint32_t k = 1; power.exponent > -(bits + 64); ++k) {
        power = mp::div_small(mp::div_small(power, 9, n), 9, n);
        atanh = mp::add(atanh, mp::div_small(power, 2 * k + 1, n), n);
    }
    mp::Number ln10 = mp::add(mp::mul_small(mp::ln2(n), 3, n), mp::scale2(atanh, 1), n);
    EXPECT_LT(mp::compare_magnitude(mp::sub(ln10, mp::ln10(n), n), mp::scale2(mp::from_integer(1, 2), 2 - bits + 14)),
              0);
}

}  // namespace
