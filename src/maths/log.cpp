// log and log10, correctly rounded.
//
// ln(x) = e ln(2) - ln(r) + ln(1 + z) with r from a table and z = m r - 1
// exact (exp_log_internal.h). The quick tier (256 reciprocals, |z| <=
// 2^-8.99, ln(1 + z) to degree 7, relative error below 2^-65.5) decides
// all but about one argument in 2000; the fast path (128 reciprocals,
// degree 10, an error bound worked out per call, 2^-75 away from 1) nearly
// all the others; then the accurate path (degree 15 in double-double,
// 2^-99) and the multiprecision one. log10 multiplies by 1/ln(10).
#include <cmath>
#include <cstdint>
#include <limits>

#include "maths/exp_log_internal.h"
#include "maths/maths.h"
#include "maths/rounding.h"
#include "maths/tables.h"

namespace quelmar::maths {

namespace detail {

DoubleDouble log_accurate(double x) noexcept {
  using tables::kInverse;
  using tables::kLn2;
  LogReduction red = log_reduce(x);
  DoubleDouble z = red.z;
  // ln(1 + z) = z p(z), p(z) = sum (-1)^k z^k/(k + 1), k < 15: truncation
  // |z|^15/16 < 2^-109 relative. The terms from z^9 on in double (their
  // rounding errors, multiplied by |z|^9 < 2^-63, are below 2^-115), the
  // rest in double-double Horner steps (2^-102.2 per product, damped by
  // |z|, 2^-104.4 per sum): p within 2^-104.2, z p within 2^-101.9.
  double a = z.hi;
  double high = -(kInverse[10].hi -
                  a * (kInverse[11].hi -
                       a * (kInverse[12].hi -
                            a * (kInverse[13].hi - a * (kInverse[14].hi - a * kInverse[15].hi)))));
  DoubleDouble p = {high, 0.0};
  for (int k = 8; k >= 0; --k) {
    DoubleDouble c = kInverse[k + 1];
    p = dd_add(dd_mul(p, z), k % 2 == 0 ? c : dd_neg(c));
  }
  DoubleDouble log1p = dd_mul(p, z);
  // e ln(2) - ln(r): e ln(2) = e hi (exact) + e mid (exact, two_prod) +
  // e lo; the table's triple; each sum relative 2^-104, and no cancellation
  // (|e ln 2| > 2 |ln r| when e != 0; |ln r| > 3 |ln(1 + z)| when r != 1).
  // In all 2^-101.9 + 4 2^-104 < 2^-100.9, bounded by kLogAccurateError.
  double e = red.e;
  DoubleDouble em = two_prod(e, kLn2.mid);
  DoubleDouble eln2 = fast_two_sum(e * kLn2.hi, em.hi);
  eln2.lo += em.lo + e * kLn2.lo;
  DoubleDouble table = {red.entry->neg_log_hi, red.entry->neg_log_mid + red.entry->neg_log_lo};
  DoubleDouble sum = dd_add(eln2, table);
  return dd_add(sum, log1p);
}

}  // namespace detail

namespace {


// log's and log10's results for x <= 0, infinities and NaN; false otherwise.
inline bool log_special(double x, double& result) noexcept {
  if (x > 0.0 && x < kInfinity) return false;
  if (x != x) {
    result = x + x;
  } else if (x == 0.0) {
    result = -kInfinity;  // log(+-0) = -inf, the pole
  } else if (x < 0.0) {
    result = std::numeric_limits<double>::quiet_NaN();
  } else {
    result = x;  // +inf
  }
  return true;
}

// 10^k for k = 0 .. 22, the powers of ten that are doubles: log10 of these
// is k exactly, and no other double has a rational log10 (10^(p/q) is
// irrational unless q divides p).
constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                   1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr int kLargestExactPower = 22;

// Positive normal doubles take the direct route; the check is one unsigned
// comparison on the bit pattern.
constexpr std::uint64_t kSmallestNormalBits = 0x0010000000000000ull;
constexpr std::uint64_t kNormalSpan = 0x7ff0000000000000ull - kSmallestNormalBits;

inline bool ordinary(double x) noexcept { return to_bits(x) - kSmallestNormalBits < kNormalSpan; }

double log_undecided(double x) noexcept {
  double result;
  DoubleDouble accurate = detail::log_accurate(x);
  if (round_nearest(accurate.hi, accurate.lo, accurate.hi * detail::kLogAccurateError, result)) return result;
  return detail::log_exact(x);
}

// ln(x) times 1/ln(10) (< 0.4343): ln's error shrinks with it, and
// 1/ln(10)'s (2^-107) and the product's (2^-102.2) add below 2^-100
// relative; the bounds below are widened for round_normal (0.435 covers
// 1 + 2^-50 of ln's, 2^-99 the 2^-104 of the normalized product's lo).
constexpr double kInvLn10Bound = 0.435;
constexpr double kProductError = 0x1p-99;

double log10_undecided(double x) noexcept {
  double result;
  DoubleDouble accurate = dd_mul(detail::log_accurate(x), tables::kInvLn10);
  if (round_nearest(accurate.hi, accurate.lo, accurate.hi * (detail::kLogAccurateError + kProductError), result))
    return result;
  return detail::log10_exact(x);
}

// log10(10^k) = k for the powers of ten that are doubles; false otherwise.
// 10^k lies in [2^E, 2^(E+1)) with E = floor(k log2(10)), so k is
// floor(E log10(2)) or one more; 77/256 is log10(2) closely enough for
// E <= 73.
inline bool power_of_ten(double x, double& result) noexcept {
  if (!(x >= 1.0 && x <= kPowersOfTen[kLargestExactPower])) return false;
  int binary_exponent = static_cast<int>(to_bits(x) >> 52) - 1023;
  int k = (binary_exponent * 77) >> 8;
  for (int candidate = k; candidate <= k + 1 && candidate <= kLargestExactPower; ++candidate) {
    if (x == kPowersOfTen[candidate]) {
      result = candidate;
      return true;
    }
  }
  return false;
}

// The quick tier's ln(x) times 1/ln(10) = c_hi + c_lo, c_hi of 27 bits:
// with ln's hi cut into H, its leading 26 bits, and the rest, H c_hi is
// exact, and the rest of the product is below 2^-17.5 of it. Relative
// errors beyond ln's 2^-65.7 (kQuickLogRelativeError's analysis before its
// widening): the rest of ln (below 2^-17.5 |ln x|) rounded, times c_hi
// rounded, and the final sum rounded, 2^-70.5 each; (hi + lo) c_lo
// (c_lo < 2^-28.5 c) below 2^-80; with round_normal's widening (2^-51 of
// the low part) in all below 2^-65.4: kQuickLog10Error.
constexpr double kQuickLog10Error = 0x1p-65;

inline DoubleDouble times_inv_ln10(DoubleDouble ln) noexcept {
  double high = from_bits(to_bits(ln.hi) & kLeading26Bits);
  double product = high * tables::kInvLn10Split.hi;
  double rest = ((ln.hi - high) + ln.lo) * tables::kInvLn10Split.hi + (ln.hi + ln.lo) * tables::kInvLn10Split.lo;
  return {product, rest};
}

// Subnormal arguments scaled by 2^64 into the normal range, for the quick
// tier (exact).
constexpr double kSubnormalScale = 0x1p64;
constexpr std::int64_t kSubnormalExponent = -64;

// Everything log's quick tier leaves: the special values, subnormal
// arguments, and the undecided (log_fast, then the accurate and the exact
// paths). Out of line, so that the quick tier needs no stack frame.
double log_other(double x) noexcept {
  double result;
  if (log_special(x, result)) return result;
  if (!ordinary(x)) {  // subnormal
    DoubleDouble ln = detail::log_quick(to_bits(x * kSubnormalScale), kSubnormalExponent);
    if (round_normal(ln.hi, ln.lo, std::fabs(ln.hi) * detail::kQuickLogRelativeError, 0, result)) return result;
  }
  detail::LogApproximation fast = detail::log_fast(x);
  // |ln x| >= 2^-53 for x != 1 (and ln 1 = 0 is decided above): a normal
  // result.
  if (round_normal(fast.value.hi, fast.value.lo, fast.error, 0, result)) return result;
  return log_undecided(x);
}

double log10_other(double x) noexcept {
  double result;
  if (log_special(x, result)) return result;
  if (!ordinary(x)) {  // subnormal
    DoubleDouble fast = times_inv_ln10(
        detail::log_quick(to_bits(x * kSubnormalScale), kSubnormalExponent));
    if (round_normal(fast.hi, fast.lo, std::fabs(fast.hi) * kQuickLog10Error, 0, result)) return result;
  }
  // The exact results, which the multiprecision path would decide just as
  // well, but slowly.
  if (power_of_ten(x, result)) return result;
  detail::LogApproximation ln = detail::log_fast(x);
  DoubleDouble fast = dd_mul(ln.value, tables::kInvLn10);
  double fast_error = ln.error * kInvLn10Bound + std::fabs(fast.hi) * kProductError;
  if (round_normal(fast.hi, fast.lo, fast_error, 0, result)) return result;
  return log10_undecided(x);
}

}  // namespace

// ln(1) = 0 exactly from the quick tier (every term vanishes, and so does
// the error bound), and the exact results of log10, its integers, pass its
// rounding test as any other result far from a rounding boundary: no
// argument needs to be set aside first.
double log(double x) noexcept {
  std::uint64_t bits = to_bits(x);
  if (bits - kSmallestNormalBits < kNormalSpan) {
    DoubleDouble ln = detail::log_quick(bits, 0);
    // |ln x| >= 2^-53 for x != 1: a normal result.
    double result;
    if (round_normal(ln.hi, ln.lo, std::fabs(ln.hi) * detail::kQuickLogRelativeError, 0, result)) return result;
  }
  return log_other(x);
}

double log10(double x) noexcept {
  std::uint64_t bits = to_bits(x);
  if (bits - kSmallestNormalBits < kNormalSpan) {
    DoubleDouble fast = times_inv_ln10(detail::log_quick(bits, 0));
    double result;
    if (round_normal(fast.hi, fast.lo, std::fabs(fast.hi) * kQuickLog10Error, 0, result)) return result;
  }
  return log10_other(x);
}

}  // namespace quelmar::maths
