// The correctly rounded sine.
//
// |x| is reduced by steps of pi/512, |x| = j pi/512 + t with |t| <= pi/1024;
// then, with a = (j mod 1024) pi/512 and the table of sin(i pi/512) for a
// quarter period,
//     sin(a + t) = A cos t + B sin t,
// where (A, B) is (sin a, cos a) or a rotation of it by the quadrant. Each
// tier carries a proved error bound, and the rounding test (rounding.h)
// accepts its result when no rounding boundary lies within that bound.
//
// Quick tier, for 2^-26 <= |x| < 2^8: a two-part reduction, cos t - 1 and
// sin t - t as short Taylor polynomials in t^2 <= 2^-16.7 in double, B t from
// exact products of 26-bit parts, and a bound relative to the result
// (2^-64.9): all but about one argument in 2500.
// Fast path, for every finite |x| from 2^-26 (Cody and Waite's reduction
// below 2^16, Payne and Hanek's from there): the same evaluation with A and B
// t in double-double and a bound worked out per call: all but about one
// argument in 10^4.
// Accurate tier: a reduction within 2^-112 and the evaluation in
// double-double (2^-99): all but the hardest cases.
// Exact path: those are evaluated again in multiprecision arithmetic
// (multiprecision.h), reduced modulo pi/2 with enough bits of 2/pi and summed
// by Taylor series, with more bits each round until the rounding is decided.
#include <cmath>
#include <cstdint>

#include "maths/double_double.h"
#include "maths/maths.h"
#include "maths/multiprecision.h"
#include "maths/multiprecision_tables.h"
#include "maths/rounding.h"
#include "maths/sin_internal.h"
#include "maths/sin_table.h"
#include "maths/tables.h"

namespace quelmar::maths {

namespace sin_detail {

namespace {

using sin_table::kSin;

constexpr int kUnitExponentOffset = 1075;  // |x| = m 2^(biased - 1075)
constexpr int kQuarterSteps = 256;         // steps of pi/512 per quadrant
constexpr std::uint32_t kStepMask = 1023;  // steps per period, less one

// Below 2^-26, sin x = x (1 - x^2/6 + ...) lies within x^3/6 < 2^-54 |x| of x
// towards zero, less than half the gap to x's lower neighbour (2^-54 |x| at
// worst, when x is a power of two): the nearest double is x itself.
constexpr double kTinyLimit = 0x1p-26;

// Taylor coefficients (rounded quotients): cos t - 1 = z (-1/2 + z/24 - z^2/720)
// and sin t - t = t z (-1/6 + z/120 - z^2/5040) with z = t^2, leaving out
// z^4/8! and t z^4/9!, below 2^-82 of A and of B t.
constexpr double kCos2 = -0.5;
constexpr double kCos4 = 1.0 / 24.0;
constexpr double kCos6 = -1.0 / 720.0;
constexpr double kSin3 = -1.0 / 6.0;
constexpr double kSin5 = 1.0 / 120.0;
constexpr double kSin7 = -1.0 / 5040.0;

// Relative error of the fast evaluation, measured against M = |A| + |B t|
// (>= |sin(a + t)|, and at most three times it); the terms, each for |t| <=
// pi/1024 (z <= 2^-16.7):
//   cos t - 1 as pc = z (...): z = fl(th^2) leaves out 2 th tl and is rounded,
//     1.5 2^-52 relative; the Horner steps and rounded coefficients add 0.75
//     2^-52: pc within 2^-50.8 relative, |pc| <= 2^-17.7. fl(Ah pc) then
//     adds Al pc and a rounding, 2 2^-53: |A| 2^-17.7 2^-50.3 = |A| 2^-68.0;
//   sin t - t as ph ps: ps within 2^-50.7 relative, |ps| <= 2^-19.3; ph
//     stands for B t within 3 2^-53; with the product's rounding |B t| 2^-69.1;
//   the two roundings of the correction sum and of lo, 2^-53 of |lo| each:
//     |A| 2^-69.7 + |B t| 2^-71.3;
//   the table (2^-107 relative), Bh tl + Bl th in double, the small sums and
//     the truncated series: below 2^-80 M.
// Sum: below 2^-67.6 M; the bound used is 2^-67.
constexpr double kEvaluationError = 0x1p-67;
// An error in t moves sin(a + t) by at most |B cos t - A sin t| <= 1 + |t|
// times it.
constexpr double kReductionGain = 1.0 + 0x1p-7;

// Payne-Hanek with integers: the bits of 512/pi = 2^8 (2/pi) against the
// 53-bit integer mantissa, eight limbs of 2/pi at a time (at most 2 + 8 limbs
// of product).
constexpr int kWindowLimbs = 8;
constexpr int kProductLimbs = kWindowLimbs + 2;
constexpr int kFractionBits = 192;  // fraction of x 512/pi kept below the point

// The exact path's precisions: 6 limbs (192 bits) first, doubled each round,
// at most 96 limbs, so that the window of 2/pi (precision + 5 limbs) and its
// product with the mantissa (+ 2 more) stay within the numbers' 128 limbs.
constexpr int kExactFirstLimbs = 6;
constexpr int kExactLastLimbs = 96;
constexpr int kWindowExtraLimbs = 5;

// The bits [pos, pos + 64) of the little-endian limbs p (bit 0 the lowest),
// 0 <= pos and pos + 64 < 32 (limbs of p). (The double shift of the third
// limb is its shift by 64 - s, zero when s is zero.)
std::uint64_t bits_at(const std::uint32_t* p, int pos) noexcept {
    const int i = pos / 32;
    const int s = pos % 32;
    const std::uint64_t low = static_cast<std::uint64_t>(p[i]) | static_cast<std::uint64_t>(p[i + 1]) << 32;
    return (low >> s) | ((static_cast<std::uint64_t>(p[i + 2]) << 31) << (33 - s));
}

int leading_zeros64(std::uint64_t v) noexcept {
#if defined(__GNUC__)
    return v == 0 ? 64 : __builtin_clzll(v);
#else
    int n = 0;
    for (int half = 32; half > 0; half >>= 1) {
        if ((v >> (64 - half)) == 0) {
            n += half;
            v <<= half;
        }
    }
    return n;
#endif
}

// The fast path's steps, defined here so that sin() inlines them; the
// functions of sin_internal.h call them for the tests.
inline Reduction moderate_reduction(double ax) noexcept {
    using namespace sin_table;
    // j < 2^16 * 512/pi < 2^24, so that j kStep1 and j kStep2 (29 bits each)
    // are exact; ax - j kStep1 is exact too, both being multiples of ulp(ax)
    // and the difference below 2^-8 <= 2^53 ulp(ax) (for j >= 1, ax >= 2^-9).
    // j may miss the nearest integer to ax 512/pi by the product's rounding,
    // 2^-28 at most: |t| <= pi/1024 (1 + 2^-27).
    const double jd = (ax * kInverseStep + kRoundingShift) - kRoundingShift;
    const double r1 = ax - jd * kStep1;
    const DoubleDouble h = two_sum(r1, -(jd * kStep2));
    const double c = jd * kStep3;
    // Errors: j |pi/512 - kStep1 - kStep2 - kStep3| <= j 2^-122; the rounding
    // of c, 2^-53 |c| <= j 2^-120; the rounding of h.lo - c, 2^-53 (|h.lo| +
    // |c|) <= 2^-115 + j 2^-120 (|h.hi| < 2^-8). In all below j 2^-118 + 2^-113.
    Reduction r;
    r.t = two_sum(h.hi, h.lo - c);
    r.step = static_cast<std::uint32_t>(jd) & kStepMask;
    r.t_error = jd * 0x1p-118 + 0x1p-113;
    return r;
}

// The quick tier's reduction, for ax < kQuickLimit: j < 2^15.35, so that
// j kQuickStep1 (37 bits) is exact, and so is r1 = ax - j kQuickStep1 (a
// multiple of 2^-61 below 2^-8.3 for j >= 1, when ax >= 2^-8.4; ax itself
// for j = 0). t = r1 - j kQuickStep2, left as the two terms: j kQuickStep2
// (below 2^-30.65) rounded, 2^-84, and pi/512 - kQuickStep1 - kQuickStep2
// times j, 2^-84.65; in all below 2^-83.3, bounded by kQuickReductionError.
// The step is read from the shifted sum's last bits.
inline Reduction quick_reduction(double ax) noexcept {
    using namespace sin_table;
    const double shifted = ax * kInverseStep + kRoundingShift;
    const double jd = shifted - kRoundingShift;
    Reduction r;
    r.t = {ax - jd * kQuickStep1, -(jd * kQuickStep2)};
    r.step = static_cast<std::uint32_t>(to_bits(shifted)) & kStepMask;
    r.t_error = 0.0;
    return r;
}

// The accurate tier's reduction, for ax < kModerateLimit: as
// moderate_reduction, but with pi/512 in four parts, the first three of 29
// bits, so that every product with j < 2^24 but the last is exact and both
// subtractions are carried exactly by two_sum. The low parts (below 2^-62
// each) and j kAccurateStep4 (below 2^-75.6) are summed with two roundings
// of 2^-114 at most, the last part's rounding and pi/512's remainder (2^-153
// times j) below 2^-126; fast_two_sum is exact unless |t| < 2^-60.9, and is
// off by at most 2^-113 then. In all below 2^-112.4.
constexpr double kAccurateReductionError = 0x1p-112;

inline Reduction accurate_reduction(double ax) noexcept {
    using namespace sin_table;
    const double jd = (ax * kInverseStep + kRoundingShift) - kRoundingShift;
    const double r1 = ax - jd * kStep1;
    const DoubleDouble h1 = two_sum(r1, -(jd * kStep2));
    const DoubleDouble h2 = two_sum(h1.hi, -(jd * kAccurateStep3));
    Reduction r;
    r.t = fast_two_sum(h2.hi, (h1.lo + h2.lo) - jd * kAccurateStep4);
    r.step = static_cast<std::uint32_t>(jd) & kStepMask;
    r.t_error = kAccurateReductionError;
    return r;
}

}  // namespace

Reduction reduce_moderate(double ax) noexcept { return moderate_reduction(ax); }

Reduction reduce_accurate(double ax) noexcept { return accurate_reduction(ax); }

Reduction reduce_quick(double ax) noexcept { return quick_reduction(ax); }

Reduction reduce_large(double ax) noexcept {
    // ax = m 2^e; ax 512/pi = m 2^(e+8) sum b_k 2^-k over the bits b_k of
    // 2/pi. Terms with k <= e - 2 are multiples of 1024 steps (whole
    // periods) and are skipped: the window starts at the limb holding bit
    // e - 1. Its product with m is an integer P with F fraction bits,
    // F = 32 w + 248 - e in [215, 300]; the bits past the window add less than
    // m 2^-F < 2^-161 steps.
    const std::uint64_t bits = to_bits(ax);
    const std::uint64_t m = (bits & kMantissaBits) | kImplicitBit;
    const int e = static_cast<int>(bits >> 52) - kUnitExponentOffset;
    const int first_limb = e >= 2 ? (e - 2) / 32 : 0;
    const int fraction_bits = 32 * first_limb + 32 * kWindowLimbs - 8 - e;

    // Two limbs of zeros above the product for bits_at.
    std::uint32_t product[kProductLimbs + 2] = {};
    const std::uint64_t m_limbs[2] = {m & 0xFFFFFFFFu, m >> 32};
    for (int w = 0; w < kWindowLimbs; ++w) {
        // Little-endian: window limb w is table limb first_limb + 7 - w.
        const std::uint64_t window = mp_tables::kTwoOverPi[first_limb + kWindowLimbs - 1 - w];
        std::uint64_t carry = 0;
        for (int i = 0; i < 2; ++i) {
            std::uint64_t t = window * m_limbs[i] + product[w + i] + carry;
            product[w + i] = static_cast<std::uint32_t>(t);
            carry = t >> 32;
        }
        product[w + 2] = static_cast<std::uint32_t>(carry);
    }

    // The step count modulo 1024 and the 192 bits below the point, rounded to
    // the nearest step: a fraction of one half or more counts one step more
    // and leaves 1 - fraction, negative; its magnitude is the two's
    // complement, taken without branches (the sign is a coin toss).
    const std::uint64_t whole = bits_at(product, fraction_bits);
    std::uint64_t f[3] = {bits_at(product, fraction_bits - 64), bits_at(product, fraction_bits - 128),
                          bits_at(product, fraction_bits - kFractionBits)};
    const std::uint64_t negative = f[0] >> 63;
    const std::uint64_t mask = 0 - negative;
    std::uint64_t carry = negative;
    for (int i = 2; i >= 0; --i) {
        const std::uint64_t v = (f[i] ^ mask) + carry;
        carry = v < carry ? 1 : 0;
        f[i] = v;
    }
    const std::uint32_t j = static_cast<std::uint32_t>(whole + negative) & kStepMask;
    Reduction r;
    r.step = j;
    // The magnitude's leading 106 bits as a double-double: 2^-(53+lz) H +
    // 2^-(106+lz) L, within 2^-190 relative. (No double is within 2^-62 steps
    // of a multiple of pi/512, so lz < 64; an empty fraction would only mean
    // t = 0 with the window's error.)
    int lz = 0;
    while (lz < 128 && f[0] == 0) {
        f[0] = f[1];
        f[1] = f[2];
        f[2] = 0;
        lz += 64;
    }
    if (f[0] == 0) {
        r.t = {0.0, 0.0};
        r.t_error = 0x1p-160;
        return r;
    }
    const int shift = leading_zeros64(f[0]);
    lz += shift;
    // (x >> 1) >> (63 - shift) is x >> (64 - shift), and zero for shift 0.
    const std::uint64_t top = (f[0] << shift) | ((f[1] >> 1) >> (63 - shift));
    const std::uint64_t next = (f[1] << shift) | ((f[2] >> 1) >> (63 - shift));
    const std::uint64_t high53 = top >> 11;
    const std::uint64_t low53 = ((top & 0x7FF) << 42) | (next >> 22);
    const double sign = negative != 0 ? -1.0 : 1.0;
    const DoubleDouble fraction = fast_two_sum(sign * static_cast<double>(high53) * power_of_two(-53 - lz),
                                               sign * static_cast<double>(low53) * power_of_two(-106 - lz));
    // t = fraction pi/512: the product's 2^-102, the step's 2^-106 and the
    // fraction's truncation, all relative, and the window's 2^-161 steps
    // (2^-168 in t): within 2^-101 |t| + 2^-160.
    r.t = dd_mul(fraction, DoubleDouble{sin_table::kStepHi, sin_table::kStepLo});
    r.t_error = std::fabs(r.t.hi) * 0x1p-101 + 0x1p-160;
    return r;
}

namespace {

inline Approximation evaluation(const Reduction& r) noexcept {
    const std::uint32_t quadrant = r.step >> 8;
    const std::uint32_t index = r.step & (kQuarterSteps - 1);
    // sin(q pi/2 + a + t) for a = index pi/512: sin(a + t), cos(a + t),
    // -sin(a + t), -cos(a + t); cos(a + t) = cos a cos t - sin a sin t.
    const double* sin_a = kSin[index];
    const double* cos_a = kSin[kQuarterSteps - index];
    const bool odd = (quadrant & 1) != 0;
    const double a_hi = odd ? cos_a[0] : sin_a[0];
    const double a_lo = odd ? cos_a[1] : sin_a[1];
    const double b_hi = odd ? -sin_a[0] : cos_a[0];
    const double b_lo = odd ? -sin_a[1] : cos_a[1];

    const double th = r.t.hi;
    const double tl = r.t.lo;
    const double z = th * th;
    const double pc = z * (kCos2 + z * (kCos4 + z * kCos6));
    const double ps = z * (kSin3 + z * (kSin5 + z * kSin7));

    // A cos t + B sin t = A + B t + (A pc + B t ps), the first two in
    // double-double: B t = Bh th exactly (Dekker) + Bh tl + Bl th. A is
    // zero or at least sin(pi/512) > pi/1024 >= |B t|, as fast_two_sum needs.
    const DoubleDouble bt = two_prod(b_hi, th);
    const DoubleDouble head = fast_two_sum(a_hi, bt.hi);
    const double small = (a_lo + head.lo) + (bt.lo + (b_hi * tl + b_lo * th));
    const double correction = a_hi * pc + bt.hi * ps;
    Approximation result;
    result.value = fast_two_sum(head.hi, small + correction);
    if (quadrant >= 2) result.value = dd_neg(result.value);
    result.error = kEvaluationError * (std::fabs(a_hi) + std::fabs(bt.hi)) + kReductionGain * r.t_error;
    return result;
}

// The quick tier's evaluation: sin(a + t) with a = index pi/512 + (quadrant
// mod 2) pi/2, that is sin(step pi/512 + t) up to the sign that quadrants 2
// and 3 add (the caller's), for a reduction from quick_reduction.
//
// As in evaluation(), A cos t + B sin t = A + B t + A (cos t - 1) + B (sin t
// - t), but with B t from the table's 26-bit leading part L and rest R of B
// and t = r1 + r2 as the reduction leaves it: with r1 cut into t1 (its
// leading 26 bits) and the rest, L t1 and L (r1 - t1) are exact, R r1 and
// B r2 are rounded; odd quadrants, where B = -sin a, use sin a and -t. The
// rest, z (A P + B t S) with th = fl(r1 + r2) for t, z = th^2 and P, S the
// series of (cos t - 1)/z and (sin t - t)/(t z). No Dekker product, and the
// result is left as head + lo for round_normal. Errors, relative to M = |A|
// + |B t| (at most 3 |sin(a + t)|), with u = 2^-53:
// - z (A P + B t S), z <= 2^-16.7: z within 3u (th's rounding and its
//   own); P within u (-1/2 exact, the other terms below 2^-21.3), S within
//   2u (-1/6 rounded); A P rounded, with A's low part left out, 3u of
//   |A|/2; th B_hi within 3u of B t, times S, 6u of |B t|/6; their sum
//   rounded, u of |A|/2 + |B t|/6; times z, 4u of it: below z u (4 |A| +
//   1.84 |B t|) < 2^-67.7 |A| + 2^-68.8 |B t|;
// - B t: R's own rounding (below 2^-26 |B|: 2^-79 |B t|), R r1 rounded
//   (2^-79), B r2 (|r2| < 2^-30.65) rounded with B's low part left out
//   (2^-83), their sum (2^-79), the sum with L (r1 - t1) (below 2^-25 |B t|:
//   2^-78.4) and with A's low part and head's (2^-77.4): below 2^-76.3 M;
// - lo's last sum (|lo| <= 2^-17.6 M): 2^-70.6 M; the table and the series
//   left out below 2^-80 M.
// In all below 2^-67.5 M; round_normal's widening adds 2^-51 |lo|, 2^-68.6
// M. Times 3: below 2^-65.3 |sin|, bounded by kQuickRelativeError. The
// reduction's error (kQuickReductionError) moves the result by at most 1 +
// 2^-7 times it: kQuickAbsoluteError.
constexpr double kOddQuadrantSign[2] = {1.0, -1.0};

inline Approximation quick_evaluation(const Reduction& r) noexcept {
    const std::uint32_t odd = (r.step >> 8) & 1;
    const std::uint32_t index = r.step & (kQuarterSteps - 1);
    // A's entry: index, or 256 - index in odd quadrants; B's: 256 minus A's.
    const std::uint32_t a_index = index + ((kQuarterSteps - 2 * index) & (0u - odd));
    const double* a = kSin[a_index];
    const double* b = kSin[kQuarterSteps - a_index];
    const double r1 = r.t.hi * kOddQuadrantSign[odd];
    const double r2 = r.t.lo * kOddQuadrantSign[odd];

    const double th = r1 + r2;
    const double z = th * th;
    const double p = kCos2 + z * (kCos4 + z * kCos6);
    const double s = kSin3 + z * (kSin5 + z * kSin7);

    const double t1 = from_bits(to_bits(r1) & kLeading26Bits);
    const DoubleDouble head = fast_two_sum(a[0], b[2] * t1);
    const double small = (a[1] + head.lo) + (b[2] * (r1 - t1) + (b[3] * r1 + b[0] * r2));
    const double correction = z * (a[0] * p + (b[0] * th) * s);
    Approximation result;
    result.value = {head.hi, small + correction};
    result.error = kQuickRelativeError * std::fabs(head.hi) + kQuickAbsoluteError;
    return result;
}

// The accurate tier: sin(a + t) = A + B t + A (cos t - 1) + B (sin t - t)
// in double-double throughout, with the double-double operations' relative
// errors (double_double.h): dd_mul 2^-103.2 (2^-105.4 by a double), dd_add
// 2^-104.4. cos t - 1 = z (-1/2 + z (1/24 + z T)) and sin t - t = t z (-1/6
// + z (1/120 + z (-1/5040 + z U))), z = t^2, with T = -1/720 + z/8! -
// z^2/10! and U = 1/9! - z/11! in double: their rounding errors reach the
// result times z^3 < 2^-50 (below 2^-111), the series left out below
// 2^-128, and the double-double steps within 2^-101.5 of the two
// corrections (below 2^-17.7 M): all below 2^-118 M, with M = |A| + |B t|.
// What counts: B t (2^-103.2 M), the two sums (2^-104.4 M each) and the
// table (2^-107 of A and of B): 2^-102.2 M. Times 3 (M <= 3 |sin(a + t)|),
// 2^-100.6 relative, bounded by kAccurateError; t's error moves the result
// by at most kReductionGain times it.
constexpr double kAccurateError = 0x1p-99;

inline Approximation accurate_evaluation(const Reduction& r) noexcept {
    using tables::kInvFactorial;
    const std::uint32_t quadrant = r.step >> 8;
    const std::uint32_t index = r.step & (kQuarterSteps - 1);
    const double* sin_a = kSin[index];
    const double* cos_a = kSin[kQuarterSteps - index];
    const bool odd = (quadrant & 1) != 0;
    const DoubleDouble a = odd ? DoubleDouble{cos_a[0], cos_a[1]} : DoubleDouble{sin_a[0], sin_a[1]};
    const DoubleDouble b = odd ? DoubleDouble{-sin_a[0], -sin_a[1]} : DoubleDouble{cos_a[0], cos_a[1]};

    const DoubleDouble t = r.t;
    const DoubleDouble z = dd_mul(t, t);
    const double cos_tail = -kInvFactorial[6].hi + z.hi * (kInvFactorial[8].hi - z.hi * kInvFactorial[10].hi);
    const double sin_tail = kInvFactorial[9].hi - z.hi * kInvFactorial[11].hi;
    DoubleDouble c = dd_add(kInvFactorial[4], dd_mul(z, cos_tail));
    c = dd_add({-0.5, 0.0}, dd_mul(z, c));
    const DoubleDouble cos_minus_one = dd_mul(z, c);
    DoubleDouble s = dd_add(dd_neg(kInvFactorial[7]), dd_mul(z, sin_tail));
    s = dd_add(kInvFactorial[5], dd_mul(z, s));
    s = dd_add(dd_neg(kInvFactorial[3]), dd_mul(z, s));
    const DoubleDouble sin_minus_t = dd_mul(dd_mul(t, z), s);

    const DoubleDouble head = dd_add(a, dd_mul(b, t));
    const DoubleDouble correction = dd_add(dd_mul(a, cos_minus_one), dd_mul(b, sin_minus_t));
    Approximation result;
    result.value = dd_add(head, correction);
    if (quadrant >= 2) result.value = dd_neg(result.value);
    result.error = kAccurateError * std::fabs(result.value.hi) + kReductionGain * r.t_error;
    return result;
}

}  // namespace

Approximation evaluate(const Reduction& r) noexcept { return evaluation(r); }

Approximation evaluate_accurate(const Reduction& r) noexcept { return accurate_evaluation(r); }

Approximation evaluate_quick(const Reduction& r) noexcept {
    Approximation result = quick_evaluation(r);
    if (r.step >= 2 * kQuarterSteps) result.value = dd_neg(result.value);
    return result;
}

namespace {

// sin(|x|) with |x| = m 2^e at a precision of `limbs` limbs (W = 32 limbs
// bits): the approximation s and a bound on |sin |x| - s| in units of 2^-W.
struct ExactApproximation {
    mp::Number value;
    std::uint64_t error_units;
    int error_exponent;
};

ExactApproximation sin_at_precision(std::uint64_t m, int e, int limbs) noexcept {
    const int w = mp::kLimbBits * limbs;
    // |x| 2/pi modulo 4: the bits of 2/pi before bit e - 1 multiply |x| into
    // multiples of 4 and are skipped. With the window of limbs + 5 limbs, the
    // bits past it add less than m 2^(e - k0 + 1) 2^-32(limbs + 5) <=
    // 2^(55 - W - 160) to v = k + f; the product itself is exact.
    const int first_bit = e - 1 >= 1 ? e - 1 : 1;
    const int window_limbs = limbs + kWindowExtraLimbs;
    const mp::Number window = mp::two_over_pi_bits(first_bit, window_limbs);
    const mp::Number v = mp::scale2(
        mp::mul(mp::from_integer(static_cast<std::int64_t>(m), 2), window, window_limbs + 2), e - first_bit + 1);
    std::uint64_t k = 0;
    const mp::Number f = mp::split_nearest_integer(v, k);
    // r = f pi/2, |r| <= pi/4: pi's truncation and the product's add below
    // 2^-(W+62), the reduction's 2^-(W+104).
    const mp::Number half_pi = mp::scale2(mp::pi(limbs + 2), -1);
    const mp::Number r = mp::mul(f, half_pi, limbs + 2);

    // sin r = r - r^3/3! + ... or cos r = 1 - r^2/2! + ...: each term is the
    // previous times z = r^2 over d (d + 1). Every number stays below 1, so
    // each truncation is below u = 2^-W: z within u, a term within
    // 0.31 e(previous) + 2 u, so within 3 u, and each partial sum adds u.
    // The alternating tail is below the first term left out (< u / 4).
    // With N terms: within (4 N + 2) u; 8 more units cover r's error.
    const bool cosine = (k & 1) != 0;
    const mp::Number z = mp::mul(r, r, limbs);
    mp::Number term = cosine ? mp::from_integer(1, limbs) : r;
    mp::Number sum = term;
    std::uint64_t terms = 0;
    for (std::uint32_t d = cosine ? 1 : 2, sign = 1;; d += 2, sign ^= 1) {
        term = mp::div_small(mp::mul(term, z, limbs), d * (d + 1), limbs);
        if (mp::is_zero(term) || term.exponent < -w - 2) break;
        sum = sign ? mp::sub(sum, term, limbs) : mp::add(sum, term, limbs);
        ++terms;
    }
    // sin(|x|) = sin r, cos r, -sin r, -cos r for k = 0, 1, 2, 3 modulo 4.
    if ((k & 2) != 0) sum = mp::negate(sum);
    return {sum, 4 * terms + 10, -w};
}

}  // namespace

// Ziv's loop. It ends: sin x is transcendental for every double x != 0
// (Lindemann-Weierstrass: were sin x algebraic, so would be cos x and
// e^(ix)), so it is never a double nor a midpoint between two (rationals),
// and its distance to the nearest rounding boundary is positive; the error
// bound halves with every bit added, so some precision decides. The hardest
// double arguments known need about 2^-(53+70) relative; the first round has
// 2^-185 absolute, and even results as small as 2^-62 (the arguments nearest
// to multiples of pi) are decided in the second. The last round, 3,072 bits,
// is never reached; were it, its nearest double would be returned.
double sin_exact(double x) noexcept {
    const std::uint64_t bits = to_bits(x);
    const bool negative = (bits >> 63) != 0;
    const int biased = static_cast<int>((bits >> 52) & 0x7FF);
    std::uint64_t m = bits & kMantissaBits;
    int e = 1 - kUnitExponentOffset;
    if (biased != 0) {
        m |= kImplicitBit;
        e = biased - kUnitExponentOffset;
    }
    double result = 0.0;
    for (int limbs = kExactFirstLimbs;; limbs *= 2) {
        ExactApproximation a = sin_at_precision(m, e, limbs);
        if (negative) a.value = mp::negate(a.value);
        if (mp::round_to_double(a.value, a.error_units, a.error_exponent, result)) return result;
        if (limbs >= kExactLastLimbs) return mp::nearest_double(a.value);
    }
}

}  // namespace sin_detail

namespace sin_detail {

// Everything the quick tier leaves: NaN, infinities, |x| below 2^-26 or
// from 2^8 on, and the undecided, through evaluation() and the exact path.
// Out of line (external, so that it is not inlined either), so that the
// quick tier needs no stack frame.
double sin_other(double x) noexcept {
    const double ax = std::fabs(x);
    // NaN stays NaN; sin(+-inf) is NaN (inf - inf).
    if (!(ax <= 0x1.fffffffffffffp+1023)) return x - x;
    // Also keeps -0 and the subnormals.
    if (ax < kTinyLimit) return x;
    const Reduction reduced = ax < kModerateLimit ? moderate_reduction(ax) : reduce_large(ax);
    const Approximation a = evaluation(reduced);
    // round_nearest wants error <= 2^-60 |hi|; larger bounds (t nearly zero
    // next to a multiple of pi, where the reduction's absolute error counts)
    // go on to the next tier.
    double result;
    if (a.error <= 0x1p-60 * std::fabs(a.value.hi) && round_nearest(a.value.hi, a.value.lo, a.error, result)) {
        return x < 0 ? -result : result;
    }
    // The accurate tier: the large reduction is accurate enough as it is.
    const Approximation accurate = accurate_evaluation(ax < kModerateLimit ? accurate_reduction(ax) : reduced);
    if (accurate.error <= 0x1p-60 * std::fabs(accurate.value.hi) &&
        round_nearest(accurate.value.hi, accurate.value.lo, accurate.error, result)) {
        return x < 0 ? -result : result;
    }
    return sin_exact(x);
}

namespace {

// 2^-26 <= |x| < 2^8 take the quick tier: one unsigned comparison on the
// bit pattern of |x|.
constexpr std::uint64_t kQuickLowBits = 0x3e50000000000000ull;  // 2^-26
constexpr std::uint64_t kQuickSpanBits = 0x4070000000000000ull - kQuickLowBits;  // up to 2^8

}  // namespace

}  // namespace sin_detail

double sin(double x) noexcept {
    const std::uint64_t bits = to_bits(x);
    const std::uint64_t magnitude = bits & ~kSignBit;
    if (magnitude - sin_detail::kQuickLowBits < sin_detail::kQuickSpanBits) {
        const sin_detail::Reduction reduced = sin_detail::quick_reduction(from_bits(magnitude));
        const sin_detail::Approximation a = sin_detail::quick_evaluation(reduced);
        // |sin x| >= 2^-27 or, next to a multiple of pi, far above 2^-1021:
        // a normal result.
        double result;
        if (round_normal(a.value.hi, a.value.lo, a.error, 0, result)) {
            // sin(-x) = -sin(x), and quadrants 2 and 3 change the sign.
            // (Bit 9 of the step, 2 of the quadrant, moved to bit 63.)
            const std::uint64_t sign = (bits ^ (static_cast<std::uint64_t>(reduced.step) << 54)) & kSignBit;
            return from_bits(to_bits(result) ^ sign);
        }
    }
    return sin_detail::sin_other(x);
}

}  // namespace quelmar::maths
