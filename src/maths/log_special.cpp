// log's and log10's arguments outside their quick tier: the special values
// (zeros, negatives, infinities, NaN), subnormal arguments, and the
// arguments the quick tier leaves undecided, through the fast path, the
// accurate one and the multiprecision one. Apart from log.cpp, so that none
// of this is folded into the quick tier.
#include <cmath>
#include <cstdint>
#include <limits>

#include "maths/exp_log_internal.h"
#include "maths/rounding.h"
#include "maths/tables.h"

namespace quelmar::maths {

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

// The positive normal doubles, those of the quick tier.
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

// Subnormal arguments scaled by 2^64 into the normal range, for the quick
// tier (exact).
constexpr double kSubnormalScale = 0x1p64;
constexpr std::int64_t kSubnormalExponent = -64;

}  // namespace

namespace detail {

// Everything log's quick tier leaves: the special values, subnormal
// arguments, and the undecided (log_fast, then the accurate and the exact
// paths). Out of line (external, so that it is not inlined either), so that
// the quick tier needs no stack frame.
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
    DoubleDouble fast = detail::times_inv_ln10(
        detail::log_quick(to_bits(x * kSubnormalScale), kSubnormalExponent));
    if (round_normal(fast.hi, fast.lo, std::fabs(fast.hi) * detail::kQuickLog10Error, 0, result)) return result;
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

}  // namespace detail

}  // namespace quelmar::maths
