// Each path of the elementary functions against what it promises, where the
// comparison with MPFR cannot look (a bound too tight shows in the results
// only where an argument falls just where it fails): exp's and log's fast
// and accurate approximations, sin's reductions and evaluation, within their
// stated error bounds of 320-bit references computed here by other means,
// over every table entry and the edges of the reduced ranges; and the
// multiprecision paths, which decide the rare hard arguments, giving the
// same doubles as the functions wherever the fast paths decide.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <vector>

#include "argument_ranges.h"
#include "maths/double_double.h"
#include "maths/exp_log_internal.h"
#include "maths/multiprecision.h"
#include "maths/sin_internal.h"

namespace maths_test {
namespace {

namespace mp = quelmar::maths::mp;
namespace detail = quelmar::maths::detail;
namespace sd = quelmar::maths::sin_detail;
using quelmar::maths::DoubleDouble;
using quelmar::maths::from_bits;
using quelmar::maths::to_bits;

constexpr int kLimbs = 10;  // 320 bits
constexpr int kHalvings = 12;
constexpr double kPiOver1024 = 0x1.921fb54442d18p-9;

mp::Number number(double x) { return mp::from_double(x, kLimbs); }

mp::Number dd_number(DoubleDouble v, int exponent = 0) {
    return mp::scale2(mp::add(number(v.hi), number(v.lo), kLimbs), exponent);
}

// |computed - exact| <= bound, or bound |exact| if `relative`.
::testing::AssertionResult within(const mp::Number& computed, const mp::Number& exact, double bound,
                                  bool relative = false) {
    const mp::Number gap = mp::sub(computed, exact, kLimbs);
    const mp::Number limit = relative ? mp::mul(exact, number(bound), kLimbs) : number(bound);
    if (mp::compare_magnitude(gap, limit) <= 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "off by " << mp::nearest_double(gap) << ", bound "
                                         << mp::nearest_double(limit);
}

// ---------------------------------------------------------------------------
// exp and log

// exp(t) to about 2^-300 relative for |t| < 800.
mp::Number reference_exp(const mp::Number& t) {
    const mp::Number r = mp::scale2(t, -kHalvings);
    mp::Number sum = mp::from_integer(1, kLimbs);
    mp::Number term = sum;
    for (std::uint32_t n = 1; n < 60; ++n) {
        term = mp::div_small(mp::mul(term, r, kLimbs), n, kLimbs);
        sum = mp::add(sum, term, kLimbs);
    }
    for (int i = 0; i < kHalvings; ++i) sum = mp::mul(sum, sum, kLimbs);
    return sum;
}

// ln(x) for x > 0: Newton steps y + x exp(-y) - 1 from the C library's log,
// each squaring the error (2^-52, 2^-105, 2^-211, 2^-423).
mp::Number reference_log(double x) {
    mp::Number y = number(std::log(x));
    for (int i = 0; i < 4; ++i)
        y = mp::add(y, mp::sub(mp::mul(number(x), reference_exp(mp::negate(y)), kLimbs), number(1.0), kLimbs), kLimbs);
    return y;
}

// Arguments for exp: every entry j of the finer table (t = (256 k + j)
// ln 2/256 + r, which holds every entry of the coarser one too) with r at
// the edges of its range and inside, over the whole range of k; and, as pow
// hands them to exp, double-double arguments whose low part counts.
std::vector<DoubleDouble> exp_arguments() {
    std::vector<DoubleDouble> ts;
    Rng rng(11);
    const double kStep = 0x1.62e42fefa39efp-9;  // ln(2)/256
    for (int j = 0; j < 256; ++j)
        for (int k : {-1074, -1022, -60, -1, 0, 1, 60, 1023})
            for (double r : {-0.5, -0.4999999, -0.25, 0.0, 0x1p-30, 0.25, 0.4999999, 0.5, rng.uniform(-0.5, 0.5)}) {
                const double x = (256.0 * k + j + r) * kStep;
                if (x > -745.0 && x < 709.7 && std::fabs(x) > 0x1p-50) ts.push_back({x, 0.0});
            }
    for (int i = 0; i < 2000; ++i) {
        const double hi = rng.uniform(-740.0, 705.0);
        ts.push_back(quelmar::maths::fast_two_sum(hi, hi * 0x1p-53 * rng.uniform(-1.0, 1.0)));
    }
    return ts;
}

TEST(ExpPaths, WithinTheirBounds) {
    for (const DoubleDouble t : exp_arguments()) {
        SCOPED_TRACE(::testing::Message() << std::hexfloat << "exp(" << t.hi << " + " << t.lo << ")");
        const mp::Number exact = reference_exp(dd_number(t));
        const detail::QuickExp quick = detail::exp_quick(t);
        const detail::ScaledDoubleDouble fast = detail::exp_fast(t), accurate = detail::exp_accurate(t);
        // exp_quick's 2^k comes as k 2^52 modulo 2^64.
        const int k = static_cast<int>(static_cast<std::int64_t>(quick.scale_bits) / (std::int64_t{1} << 52));
        EXPECT_TRUE(within(dd_number(quick.value, k), exact, detail::kExpQuickError, true)) << "exp_quick";
        EXPECT_TRUE(within(dd_number(fast.value, fast.exponent), exact, detail::kExpFastError, true)) << "exp_fast";
        EXPECT_TRUE(within(dd_number(accurate.value, accurate.exponent), exact, detail::kExpAccurateError, true));
    }
}

// Every table entry (leading mantissa bits i) at the interval's ends and
// inside, in several binades, and next to 1.
TEST(LogPaths, WithinTheirBounds) {
    std::vector<double> xs;
    Rng rng(12);
    constexpr std::uint64_t kLow = (std::uint64_t{1} << 45) - 1;
    for (std::uint64_t i = 0; i < 128; ++i)
        for (std::uint64_t low : {std::uint64_t{0}, std::uint64_t{1}, kLow, rng.next() >> 19})
            for (int e : {-1074, -1022, -1, 0, 1, 1023}) {
                const std::uint64_t mantissa = i << 45 | (low & kLow);
                const double x = e == -1074 ? from_bits(mantissa >> 3 | 1)  // subnormal
                                            : from_bits(static_cast<std::uint64_t>(e + 1023) << 52 | mantissa);
                if (x != 1.0) xs.push_back(x);
            }
    for (int k = 1; k < 60; ++k)
        for (double sign : {1.0, -1.0}) xs.push_back(1.0 + sign * std::ldexp(1.0, -k) * rng.unit());
    for (double x : xs) {
        SCOPED_TRACE(::testing::Message() << std::hexfloat << "log(" << x << ")");
        const mp::Number exact = reference_log(x);
        const detail::LogApproximation fast = detail::log_fast(x);
        EXPECT_TRUE(within(dd_number(fast.value), exact, fast.error)) << "log_fast";
        EXPECT_LE(fast.error, std::fabs(fast.value.hi) * 0x1p-65);  // the per-call bound stays within 2^-65 relative
        EXPECT_TRUE(within(dd_number(detail::log_accurate(x)), exact, detail::kLogAccurateError, true));
    }
}

// The quick tier's table has 256 intervals centred on the multiples of
// 1/256 of the mantissa: every interval at its two ends and inside, in the
// extreme binades, subnormals through the 2^64 scaling log takes them with,
// and next to 1 on both sides.
std::vector<double> quick_log_arguments() {
    std::vector<double> xs;
    Rng rng(15);
    constexpr std::uint64_t kHalfInterval = std::uint64_t{1} << 43;
    for (std::uint64_t i = 0; i < 256; ++i) {
        const std::uint64_t centre = i << 44;
        for (std::uint64_t mantissa : {centre - kHalfInterval, centre + kHalfInterval - 1, centre,
                                       centre - kHalfInterval + (rng.next() >> 20)})
            for (int e : {-1022, -1, 0, 1, 1023}) {
                const std::uint64_t field = mantissa & 0x000FFFFFFFFFFFFFull;
                // Interval 0 below 1 is the top of the binade below.
                const int binade = i == 0 && mantissa >= (std::uint64_t{1} << 52) ? e - 1 : e;
                if (binade >= -1022) xs.push_back(from_bits(static_cast<std::uint64_t>(binade + 1023) << 52 | field));
            }
    }
    for (int k = 1; k < 60; ++k)
        for (double sign : {1.0, -1.0}) xs.push_back(1.0 + sign * std::ldexp(1.0, -k) * (1.0 + rng.unit()) / 2);
    for (int i = 0; i < 200; ++i) xs.push_back(rng.binades(-1074, -1023));
    xs.push_back(1.0);
    return xs;
}

TEST(LogPaths, QuickTierWithinItsBounds) {
    for (double x : quick_log_arguments()) {
        SCOPED_TRACE(::testing::Message() << std::hexfloat << "log(" << x << ")");
        const bool subnormal = x < 0x1p-1022;
        const DoubleDouble quick =
            subnormal ? detail::log_quick(to_bits(x * 0x1p64), -64) : detail::log_quick(to_bits(x), 0);
        const mp::Number exact = x == 1.0 ? mp::from_integer(0, kLimbs) : reference_log(x);
        EXPECT_TRUE(within(dd_number(quick), exact, detail::kQuickLogAbsoluteError)) << "absolute";
        EXPECT_TRUE(within(dd_number(quick), exact, detail::kQuickLogRelativeError, true)) << "relative";
        EXPECT_LE(std::fabs(quick.lo), 0x1.52p-28) << "low part";  // 2^-27.6
        const DoubleDouble ten = detail::times_inv_ln10(quick);
        EXPECT_TRUE(within(dd_number(ten), mp::div(exact, mp::ln10(kLimbs), kLimbs), detail::kQuickLog10Error, true))
            << "log10";
    }
}

// pow's t = y ln(x) from the quick tier, for bases next to 1, in the middle
// and far out, and exponents of every size: integers, the analyses' range,
// and large ones with |t| still below the quick tier's 690.
TEST(PowPaths, QuickArgumentWithinItsBound) {
    Rng rng(16);
    for (int i = 0; i < 3000; ++i) {
        const double x = i % 3 == 0 ? 1.0 + rng.sign() * std::ldexp(rng.unit(), -static_cast<int>(rng.below(50)))
                         : i % 3 == 1 ? 4.0 * (1.0 - rng.unit())
                                      : rng.binades(-1022, 1023);
        const double ln = std::log(x);  // only picks the exponent's size
        const double y = i % 4 == 0   ? std::nearbyint(rng.uniform(-200.0, 200.0))
                         : i % 4 == 1 ? rng.uniform(-200.0, 200.0)
                         : i % 4 == 2 ? rng.uniform(-690.0, 690.0) / (ln == 0.0 ? 1.0 : ln)
                                      : rng.sign() * rng.binades(-60, 8);
        SCOPED_TRACE(::testing::Message() << std::hexfloat << "pow(" << x << ", " << y << ")");
        const detail::PowQuickArgument t = detail::pow_quick_argument(to_bits(x), y);
        const mp::Number exact = mp::mul(number(y), x == 1.0 ? mp::from_integer(0, kLimbs) : reference_log(x), kLimbs);
        const double at = std::fabs(t.lead + t.rest);
        const double bound =
            std::fabs(y) * detail::kPowQuickArgumentErrorPerY + at * detail::kPowQuickArgumentErrorPerT;
        EXPECT_TRUE(within(dd_number({t.lead, t.rest}), exact, bound));
        EXPECT_LE(std::fabs(t.rest), std::fabs(t.lead) * 0x1p-17) << "rest";
        EXPECT_TRUE(within(number(t.approximate), exact, std::fabs(y) * 0x1.52p-28 + at * 0x1p-52)) << "approximate";
    }
}

// ---------------------------------------------------------------------------
// sin

mp::Number step_length() { return mp::scale2(mp::pi(kLimbs), -9); }  // pi/512

// sin(theta) for |theta| < 8 by its Taylor series at kLimbs limbs (terms
// below 2^8, so some 300 bits are right).
mp::Number reference_sin(const mp::Number& theta) {
    const mp::Number z = mp::mul(theta, theta, kLimbs);
    mp::Number term = theta;
    mp::Number sum = theta;
    for (std::uint32_t d = 2, sign = 1; d < 200; d += 2, sign ^= 1) {
        term = mp::div_small(mp::mul(term, z, kLimbs), d * (d + 1), kLimbs);
        sum = sign ? mp::sub(sum, term, kLimbs) : mp::add(sum, term, kLimbs);
    }
    return sum;
}

// r against x 512/pi = k + f computed here exactly to about 2^-240, k
// modulo 1024 and f in [-1/2, 1/2]: only the bits of 2/pi from e - 1 on
// matter for x = m 2^e, as in the library, but here in the multiprecision
// arithmetic.
void expect_reduction_within_bound(double x, const sd::Reduction& r) {
    const std::uint64_t bits = to_bits(x);
    const std::uint64_t m = (bits & 0x000FFFFFFFFFFFFFull) | 0x0010000000000000ull;
    const int e = static_cast<int>(bits >> 52) - 1075;
    const int first = e - 1 >= 1 ? e - 1 : 1;
    const mp::Number v = mp::mul(mp::from_integer(static_cast<std::int64_t>(m), 2),
                                 mp::two_over_pi_bits(first, kLimbs), kLimbs + 2);
    std::uint64_t k = 0;
    const mp::Number f = mp::split_nearest_integer(mp::scale2(v, e + 8 - first + 1), k);
    // The moderate reduction may pick a neighbouring step when x 512/pi is
    // within its product's rounding of a half.
    const int offset = static_cast<int>((r.step - k + 512) & 1023) - 512;
    ASSERT_LE(std::abs(offset), 1) << std::hexfloat << x;
    const mp::Number t = mp::mul(mp::sub(f, mp::from_integer(offset, 2), kLimbs), step_length(), kLimbs);
    EXPECT_TRUE(within(dd_number(r.t), t, r.t_error)) << std::hexfloat << x;
    EXPECT_LE(std::abs(r.t.lo), std::abs(r.t.hi) * 0x1p-53) << std::hexfloat << x;
    EXPECT_LE(std::abs(r.t.hi), kPiOver1024 * (1 + 0x1p-27)) << std::hexfloat << x;
}

TEST(SinReduction, WithinTheStatedError) {
    Rng rng(11);
    for (int i = 0; i < 4000; ++i) {
        const double moderate = rng.binades(-9, 15), large = rng.binades(0, 1023);
        expect_reduction_within_bound(moderate, sd::reduce_moderate(moderate));
        expect_reduction_within_bound(large, sd::reduce_large(large));
    }
    // Near multiples of pi, where t is smallest: numerators of the continued
    // fraction of pi (355/113, ...), whose sines are down to 2^-40 (2^-60.9
    // for the double nearest to a multiple of pi/2, Kahan and McDonald's);
    // the largest step count, both sides of the limit, the largest double.
    for (double x : {3.0, 22.0, 333.0, 355.0, 103993.0, 104348.0, 208341.0, 312689.0, 833719.0, 1146408.0, 4272943.0,
                     5419351.0, 1783366216531.0, 5706674932067741.0, 30246273033735921.0, 430010946591069243.0,
                     6381956970095103.0 * 0x1p797, 65535.99999999999, 0x1.fffffffffffffp+15, 0x1p16, DBL_MAX, 1.0}) {
        if (x < sd::kModerateLimit) expect_reduction_within_bound(x, sd::reduce_moderate(x));
        if (x < sd::kModerateLimit) expect_reduction_within_bound(x, sd::reduce_accurate(x));
        if (x >= 1.0) expect_reduction_within_bound(x, sd::reduce_large(x));
    }
    for (int i = 0; i < 4000; ++i) {
        const double x = rng.binades(-9, 15);
        const sd::Reduction accurate = sd::reduce_accurate(x);
        expect_reduction_within_bound(x, accurate);
        EXPECT_LE(accurate.t_error, 0x1p-112);
    }
    const sd::Reduction hardest = sd::reduce_large(6381956970095103.0 * 0x1p797);
    EXPECT_LT(std::abs(hardest.t.hi), 0x1p-60);
    EXPECT_LT(hardest.t_error, std::abs(hardest.t.hi) * 0x1p-95);
}

// The quick tier's reduction, below 2^8: t left as two terms, within
// kQuickReductionError of x - step pi/512.
TEST(SinReduction, QuickTierWithinItsError) {
    Rng rng(17);
    std::vector<double> xs;
    for (int i = 0; i < 4000; ++i) xs.push_back(rng.binades(-26, 7));
    for (double x : {3.0, 22.0, 3.141592653589793, 6.283185307179586, 255.99999999999997, 0x1p-26, 0x1.921fb54442d18p-8,
                     201.06192982974676})
        xs.push_back(x);
    for (double x : xs) {
        const sd::Reduction r = sd::reduce_quick(x);
        const std::uint64_t bits = to_bits(x);
        const std::uint64_t m = (bits & 0x000FFFFFFFFFFFFFull) | 0x0010000000000000ull;
        const int e = static_cast<int>(bits >> 52) - 1075;
        const mp::Number exact_x = mp::scale2(mp::from_integer(static_cast<std::int64_t>(m), 2), e);
        const std::uint32_t step = r.step;
        // x - j pi/512 for the j whose residue is the step (j < 2^16).
        const double j = std::nearbyint(x * 0x1.45f306dc9c883p+7);
        ASSERT_EQ(static_cast<std::uint32_t>(j) & 1023, step) << std::hexfloat << x;
        const mp::Number t = mp::sub(exact_x, mp::mul(number(j), step_length(), kLimbs), kLimbs);
        EXPECT_TRUE(within(dd_number(r.t), t, sd::kQuickReductionError)) << std::hexfloat << x;
        EXPECT_LE(std::abs(r.t.hi + r.t.lo), kPiOver1024 * (1 + 0x1p-27)) << std::hexfloat << x;
    }
}

// The quick tier's evaluation, on every quadrant and table entry, with t as
// the quick reduction leaves it (a 53-bit first term, a second below
// 2^-30.65).
TEST(SinEvaluation, QuickTierWithinItsError) {
    Rng rng(18);
    for (int i = 0; i < 3000; ++i) {
        sd::Reduction r;
        r.step = i < 24 ? static_cast<std::uint32_t>((i % 8) * 128 + (i / 8) * 127) & 1023
                        : static_cast<std::uint32_t>(rng.next() & 1023);
        const double th = (2 * rng.unit() - 1) * kPiOver1024;
        r.t = {i % 5 == 0 ? th * 0x1p-20 : th, (2 * rng.unit() - 1) * 0x1p-31};
        r.t_error = 0.0;
        const sd::Approximation a = sd::evaluate_quick(r);
        const int centred = static_cast<int>(r.step + 512) % 1024 - 512;
        const mp::Number theta =
            mp::add(mp::mul(mp::from_integer(centred, 2), step_length(), kLimbs), dd_number(r.t), kLimbs);
        const mp::Number exact = reference_sin(theta);
        ASSERT_TRUE(within(dd_number(a.value), exact, a.error)) << r.step << " " << std::hexfloat << th;
    }
}

// The i-th reduced argument of the evaluation tests: every quadrant and
// table entry first, the ends of each (exact zero of A, the cancellation
// below pi/2) more often, t exact (t_error 0).
sd::Reduction evaluation_argument(Rng& rng, int i) {
    sd::Reduction r;
    r.step = i < 24 ? static_cast<std::uint32_t>((i % 8) * 128 + (i / 8) * 127) & 1023
                    : static_cast<std::uint32_t>(rng.next() & 1023);
    const double th = (2 * rng.unit() - 1) * kPiOver1024;
    r.t = i % 5 == 0 ? DoubleDouble{th * 0x1p-20, 0.0}
                     : quelmar::maths::fast_two_sum(th, (2 * rng.unit() - 1) * 0x1p-53 * th);
    r.t_error = 0.0;
    return r;
}

// sin(step pi/512 + t), with step taken in [-512, 511].
mp::Number exact_sin(const sd::Reduction& r) {
    const int centred = static_cast<int>(r.step + 512) % 1024 - 512;
    const mp::Number theta =
        mp::add(mp::mul(mp::from_integer(centred, 2), step_length(), kLimbs), dd_number(r.t), kLimbs);
    return reference_sin(theta);
}

// The accurate tier's evaluation in double-double, on every quadrant and
// table entry, within its bound for t taken as exact (t_error 0).
TEST(SinEvaluation, AccurateTierWithinItsError) {
    Rng rng(19);
    for (int i = 0; i < 3000; ++i) {
        const sd::Reduction r = evaluation_argument(rng, i);
        const sd::Approximation a = sd::evaluate_accurate(r);
        const mp::Number exact = exact_sin(r);
        ASSERT_TRUE(within(dd_number(a.value), exact, a.error)) << r.step << " " << std::hexfloat << r.t.hi;
        EXPECT_LE(a.error, std::fabs(a.value.hi) * 0x1p-98);
    }
}

TEST(SinEvaluation, WithinTheStatedError) {
    Rng rng(13);
    double worst = 0.0;
    for (int i = 0; i < 3000; ++i) {
        const sd::Reduction r = evaluation_argument(rng, i);
        const sd::Approximation a = sd::evaluate(r);
        const mp::Number exact = exact_sin(r);
        ASSERT_TRUE(within(dd_number(a.value), exact, a.error)) << r.step << " " << std::hexfloat << r.t.hi;
        worst = std::max(worst, std::abs(mp::nearest_double(mp::sub(dd_number(a.value), exact, kLimbs))) / a.error);
    }
    // The bound is meant to be proved, not loose: a bound far above the
    // errors seen would send needless arguments to the exact path.
    EXPECT_GT(worst, 1.0 / 16);
}

// ---------------------------------------------------------------------------
// The multiprecision paths agree with the functions on arguments the fast
// paths decide, across the ranges (they are otherwise reached only by the
// rare hard cases).

TEST(ExactPaths, AgreeWhereverTheFastPathsDecide) {
    const struct {
        Function f;
        double (*exact)(Args);
        Args (*draw)(Rng&);
    } paths[] = {
        {Function::kExp, [](Args a) { return detail::exp_exact(a.x); }, draws::uniform<-745, 709>},
        {Function::kLog, [](Args a) { return detail::log_exact(a.x); }, draws::positive_bits},
        {Function::kLog10, [](Args a) { return detail::log10_exact(a.x); }, draws::positive_bits},
        {Function::kPow, [](Args a) { return detail::pow_exact(a.x, a.y); },
         [](Rng& r) { return Args{std::exp(r.uniform(-30.0, 30.0)), r.uniform(-20.0, 20.0)}; }},
        // Half below the moderate reduction's limit, half above 2^7.
        {Function::kSin, [](Args a) { return sd::sin_exact(a.x); },
         [](Rng& r) { return Args{r.sign() * (r.below(2) ? r.binades(-26, 15) : r.binades(7, 1023)), 0}; }},
    };
    Rng rng(14);
    for (const auto& path : paths)
        for (int i = 0; i < 400; ++i) {
            const Args a = path.draw(rng);
            ASSERT_TRUE(same(path.exact(a), library(path.f, a)))
                << std::hexfloat << function_name(path.f) << "(" << a.x << ", " << a.y << ")";
        }
    // Correctly rounded values known beforehand: sin 1 and sin 2^-26 (= 2^-26).
    EXPECT_EQ(sd::sin_exact(1.0), 0x1.aed548f090ceep-1);
    EXPECT_EQ(sd::sin_exact(0x1p-26), 0x1p-26);
}

}  // namespace
}  // namespace maths_test
