// pow, correctly rounded.
//
// x^y = exp(y ln|x|). The quick tier (below; |y| < 2^12, normal bases):
// ln|x| from log's quick core, t = y ln|x| as an exact product of 26-bit
// parts plus a rounded rest, and exp(t) from exp_quick's evaluation, its
// index found from fl(y hi) while the rest is being summed; it decides all
// but about one argument in 130. Then exp_fast on the same t, and for the
// other arguments the former path: ln|x| from log_fast, with its error bound,
// t as an exact product plus a rounded low part, exp_quick, then if need be
// exp_fast, both of which take a double-double argument; the error of t
// becomes a relative error of the result and joins exp's in the rounding
// test. The accurate path does the same in double-double throughout.
//
// Neither rounding test can decide a result that is exactly half-way
// between two doubles, and no precision would: such results, and the exact
// ones, are found from the arguments' integer mantissas before the
// multiprecision path (exact_power). The special values, negative and
// subnormal bases are pow_special.cpp's.
#include <cmath>
#include <cstdint>
#include <limits>

#include "maths/exp_log_internal.h"
#include "maths/maths.h"
#include "maths/rounding.h"
#include "maths/tables.h"

namespace quelmar::maths {

namespace {

constexpr double kTinyArgument = 0x1p-60;
// exp_fast's 2^k (value), value in [0.7, 1.5), is a normal double for
// |k| < 1000; exp_quick's result too for |t| < 690 (|k| <= 996).
constexpr int kNormalScale = 1000;
constexpr double kQuickBound = 690.0;
// The relative error of y ln|x| = t.hi + t.lo beyond ln's: the product's low
// part rounded and added (2^-105.9 each), bounded by 2^-104.
constexpr double kProductError = 0x1p-104;
// exp(t) with t off by e has relative error e^e - 1 < e (1 + 2^-20) for the
// e that can pass the test (e < 2^-40).
constexpr double kArgumentErrorGrowth = 1.0 + 0x1p-20;
constexpr double kArgumentErrorGrowthWidened = 1.0 + 0x1p-19;
// In the accurate path: ln's 2^-99 and the product's 2^-105 relative.
constexpr double kAccurateArgumentError = 0x1.02p-99;

// Mantissa and exponent of a finite non-zero double: |x| = odd * 2^exponent
// with odd an odd integer below 2^53.
struct OddForm {
  std::uint64_t odd;
  int exponent;
};

OddForm odd_form(double x) noexcept {
  std::uint64_t bits = to_bits(x) & ~kSignBit;
  int biased = static_cast<int>(bits >> 52);
  std::uint64_t mantissa = bits & kMantissaBits;
  int exponent;
  if (biased == 0) {
    exponent = 1 - kExponentBias - 52;
  } else {
    mantissa |= kImplicitBit;
    exponent = biased - kExponentBias - 52;
  }
  while ((mantissa & 1) == 0) {
    mantissa >>= 1;
    ++exponent;
  }
  return {mantissa, exponent};
}

// odd^n for n >= 1 when below 2^54 (false otherwise).
bool small_power(std::uint64_t odd, std::int64_t n, std::uint64_t& power) noexcept {
  constexpr std::uint64_t kLimit = std::uint64_t{1} << 54;
  power = 1;
  for (std::int64_t i = 0; i < n; ++i) {
    if (power > kLimit / odd) return false;
    power *= odd;
  }
  return power < kLimit;
}

// The 2^k-th root of odd when it is an integer (false otherwise), by k
// square roots, each correctly rounded and checked by squaring.
bool integer_root(std::uint64_t odd, int k, std::uint64_t& root) noexcept {
  root = odd;
  for (int i = 0; i < k; ++i) {
    auto s = static_cast<std::uint64_t>(std::sqrt(static_cast<double>(root)));
    if (s * s != root) return false;
    root = s;
  }
  return true;
}

// The results of pow that are doubles or lie half-way between two, which
// no rounding test can decide at any precision; false for every other
// (x, y). ax = |x| is finite, non-zero and not 1, y finite and non-zero;
// the result is |x|^y.
//
// With |x| = mx 2^ex and y = my 2^-k (mx, my odd, k >= 0), x^y is a dyadic
// rational only if k = 0 (y an integer) or mx is a perfect 2^k-th power w^(2^k)
// and 2^k divides ex; it is then w^my 2^(ex my / 2^k), and a double or a
// midpoint (an odd multiple of half an ulp, 54 significant bits at most)
// only if my > 0 and w^my < 2^54, or w = 1. A 2^k-th power of an odd
// w >= 3 below 2^53 has 2^k <= 32.
bool exact_power(double ax, double y, double& result) noexcept {
  constexpr int kMaxRootBits = 5;      // w >= 3 and w^(2^k) < 2^53
  constexpr int kMaxTwoRootBits = 11;  // 2^k divides ex, |ex| <= 1074
  constexpr std::int64_t kExponentLimit = 4096;  // beyond every overflow and underflow
  OddForm bx = odd_form(ax);
  OddForm by = odd_form(y);
  int k = by.exponent < 0 ? -by.exponent : 0;
  if (k > (bx.odd == 1 ? kMaxTwoRootBits : kMaxRootBits)) return false;
  if (k > 0 && (bx.exponent % (1 << k)) != 0) return false;
  // my = y 2^k as an integer (|y| <= 2^64 here, so |my| < 2^64 when k = 0;
  // for k > 0, |y| < 2^53).
  double ay = std::fabs(y);
  double scaled = ay * static_cast<double>(std::int64_t{1} << k);
  std::uint64_t root;
  if (!integer_root(bx.odd, k, root)) return false;
  std::uint64_t power = 1;
  if (root != 1) {
    if (y < 0 || scaled >= 64.0) return false;  // 1/w^n is no dyadic; 3^64 > 2^54
    if (!small_power(root, static_cast<std::int64_t>(scaled), power)) return false;
  }
  // The binary exponent ex my / 2^k, clamped where it is certain to
  // overflow or underflow.
  std::int64_t step = bx.exponent / (std::int64_t{1} << k);
  double exponent_d = static_cast<double>(step) * (y < 0 ? -scaled : scaled);
  std::int64_t exponent = exponent_d > kExponentLimit    ? kExponentLimit
                          : exponent_d < -kExponentLimit ? -kExponentLimit
                                                         : static_cast<std::int64_t>(exponent_d);
  // power * 2^exponent, rounded once (exact ties to even).
  double hi = static_cast<double>(power);
  double lo = static_cast<double>(static_cast<std::int64_t>(power - static_cast<std::uint64_t>(hi)));
  return round_scaled(hi, lo, 0.0, static_cast<int>(exponent), result);  // always decided: err == 0
}

}  // namespace

namespace detail {

// The arguments the fast path leaves undecided: the accurate path, then
// the exact and half-way results, then the multiprecision path.
double pow_undecided(double ax, double y) noexcept {
  double result;
  DoubleDouble ln = detail::log_accurate(ax);
  DoubleDouble t = dd_mul(ln, y);
  double at = std::fabs(t.hi);
  detail::ScaledDoubleDouble accurate = detail::exp_accurate(t);
  double error = accurate.value.hi * (detail::kExpAccurateError + at * kAccurateArgumentError * kArgumentErrorGrowth);
  if (round_scaled(accurate.value.hi, accurate.value.lo, error, accurate.exponent, result)) return result;
  if (exact_power(ax, y, result)) return result;
  return detail::pow_exact(ax, y);
}

// exp(t) for pow when exp_quick leaves it undecided: exp_fast, then the
// accurate path and the exact results; sign (0 or the sign bit) is applied
// to the result, so that pow's quick tier hands its undecided arguments on
// without waiting for them.
double pow_from_exp_fast(double ax, double y, DoubleDouble t, double t_error, std::uint64_t sign) noexcept {
  detail::ScaledDoubleDouble fast = detail::exp_fast(t);
  double result;
  bool decided;
  if (fast.exponent > -kNormalScale && fast.exponent < kNormalScale) {
    // The bound widened as round_normal takes it (exp_log_internal.h).
    double widened = fast.value.hi * (detail::kExpFastWidened + t_error * kArgumentErrorGrowthWidened);
    decided = round_normal(fast.value.hi, fast.value.lo, widened, fast.exponent, result);
  } else {
    double error = fast.value.hi * (detail::kExpFastError + t_error * kArgumentErrorGrowth);
    decided = round_scaled(fast.value.hi, fast.value.lo, error, fast.exponent, result);
  }
  if (!decided) result = detail::pow_undecided(ax, y);
  return from_bits(to_bits(result) ^ sign);
}

// |x|^y for a positive finite ax != 1 (subnormals included) and a finite y
// with 2^-64 <= |y| <= 2^64: pow's common path, inlined into pow below and
// called by pow_other (pow_special.cpp) for the other bases.
double pow_positive(double ax, double y) noexcept {
  double ay = std::fabs(y);
  detail::LogApproximation ln = detail::log_fast(ax);
  DoubleDouble t = two_prod(y, ln.value.hi);
  t = fast_two_sum(t.hi, t.lo + y * ln.value.lo);
  if (t.hi >= kOverflowBound) return kInfinity;
  if (t.hi <= kUnderflowBound) return 0.0;
  double at = std::fabs(t.hi);
  // |t| < 2^-60 (t.hi's own rounding aside) puts x^y within 2^-59 of 1,
  // never 1 itself since y != 0 and |x| != 1: 1 is the nearest double.
  if (at < kTinyArgument) return 1.0;
  double t_error = ay * ln.error + at * kProductError;
  if (at < kQuickBound) {
    detail::QuickExp quick = detail::exp_quick(t);
    double widened = quick.value.hi * (detail::kExpQuickWidened + t_error * kArgumentErrorGrowthWidened);
    double result;
    if (round_normal_bits(quick.value.hi, quick.value.lo, widened, quick.scale_bits, result)) return result;
  }
  return detail::pow_from_exp_fast(ax, y, t, t_error, 0);
}

}  // namespace detail

namespace {

// The quick tier: t = y ln|x| = lead + rest from pow_quick_argument
// (exp_log_internal.h), and exp(t) from exp_quick_evaluate with the
// reduction done here: n, the integer nearest to fl(y hi) 256/ln 2, is
// found without waiting for rest, which goes straight into r.
//
// For |y| < kQuickExponentLimit = 2^12 and |fl(y hi)| < kQuickBound: t is
// within 2^-27.6 |y| + 2^-53 |t| < 2^-15.59 of fl(y hi), so r = t - n ln(2)/
// 256 is below 2^-9.5288 + 2^-15.59 < 2^-9.5, |n| < 2^18.1, and the result
// is normal (|k| <= 996). lead - n hi is exact: within a factor 2 of each
// other (Sterbenz) once |lead| >= 2^-8; below, n is 0, or +-1 with |lead| >=
// 2^-10 and the difference a multiple of 2^-62 below 2^-9 (hi, of 34 bits,
// is one of 2^-42). The rest, rest - n mid, is rounded:
// 2^-53 (2^-24 |t| + 2^-27.6 |y| + 2^-25.7), and n mid too, 2^-78.7; n lo
// is left out, 2^-79.3; their sum r is rounded once below 2^-9 (2^-63).
// With t's own error: d = 2^-63 + 2^-77.1 + |y| 2^-74.63 + |t| 2^-75.57.
//
// exp_quick_evaluate adds 1.4606 2^-62 lead, over a result of at least
// 0.99862 lead; a result off by e^d - 1 < d (1 + 2^-20): below |t| <
// 690.0001, in all 2.0203 2^-62 + |y| 2^-74.62 relative. The rounding test
// is round_normal's (rounding.h) on lead + (product + (low -+ e)), whose
// inner sums round twice: e must exceed the bound, at most lead (1 +
// 2^-9.5) times the relative one, by 2^-53 (|product| + 2 |low| + 2 e),
// with |product| <= 2^-8.5 lead and |low| <= 2^-19.9 lead. So e = lead
// (2.0231 + 0.7071 + 0.001) 2^-62 (1 + 3 2^-53) + |y| terms: below
// kPowQuickError lead, and kPowQuickErrorPerY |y| lead covers 2^-74.62
// times the same factors.
constexpr double kPowQuickError = 0x1.5ep-61;  // 2.7344 2^-62
constexpr double kPowQuickErrorPerY = 0x1.6a09e667f3bcdp-75;  // 2^-74.5
constexpr double kQuickExponentLimit = 0x1p12;

// Positive normal bases take the quick tier (one unsigned comparison on the
// bit pattern), and so do negative normal bases with an integer exponent
// below 2^51 in magnitude: adding 1.5 2^52 rounds such an exponent to an
// integer and leaves its parity in the sum's last bit. (A branch: the sign
// of a base is seldom a coin toss.)
constexpr std::uint64_t kSmallestNormalBits = 0x0010000000000000ull;
constexpr std::uint64_t kNormalSpan = 0x7ff0000000000000ull - kSmallestNormalBits;
constexpr double kParityLimit = 0x1p51;

}  // namespace

double pow(double x, double y) noexcept {
  std::uint64_t x_bits = to_bits(x);
  std::uint64_t sign = 0;
  if (x_bits - kSmallestNormalBits >= kNormalSpan) {
    double shifted = y + kRoundingShift;
    bool integer = shifted - kRoundingShift == y && std::fabs(y) < kParityLimit;
    std::uint64_t ax_bits = x_bits & ~kSignBit;
    if (!(integer && ax_bits - kSmallestNormalBits < kNormalSpan)) return detail::pow_other(x, y);
    sign = to_bits(shifted) << 63;
    x_bits = ax_bits;
  }
  if (std::fabs(y) < kQuickExponentLimit) {
    detail::PowQuickArgument t = detail::pow_quick_argument(x_bits, y);
    if (std::fabs(t.approximate) < kQuickBound) {
      double shifted = t.approximate * tables::kInvLn2Quick + kRoundingShift;
      double n = shifted - kRoundingShift;
      double r = (t.lead - n * tables::kLn2Quick.hi) + (t.rest - n * tables::kLn2Quick.mid);
      detail::QuickExpParts quick = detail::exp_quick_evaluate(r, to_bits(shifted));
      double widened = quick.lead * (kPowQuickError + std::fabs(y) * kPowQuickErrorPerY);
      double low = quick.lead + (quick.product + (quick.low - widened));
      double high = quick.lead + (quick.product + (quick.low + widened));
      if (low == high) return from_bits((to_bits(low) + quick.scale_bits) ^ sign);
      // Undecided: on to exp_fast with t normalized (exactly: |rest| <
      // 2^-17 |lead|).
      DoubleDouble normalized = fast_two_sum(t.lead, t.rest);
      double t_error = std::fabs(y) * detail::kPowQuickArgumentErrorPerY +
                       std::fabs(normalized.hi) * detail::kPowQuickArgumentErrorPerT;
      return detail::pow_from_exp_fast(from_bits(x_bits), y, normalized, t_error, sign);
    }
  }
  return detail::pow_other(x, y);
}

}  // namespace quelmar::maths
