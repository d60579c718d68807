// log and log10, correctly rounded.
//
// x = 2^e m with m in [1 - 2^-8, 1 + 53/128) (the mantissa, halved from
// 1 + 53/128 on), and ln(x) = e ln(2) - ln(r) + ln(1 + z) with r from a
// table of 128 reciprocals indexed by m's leading bits and z = m r - 1
// computed without error: r has 21 significant bits, m is cut into a
// 26-bit and a 27-bit part, so that both products are exact, and the
// subtraction of 1 is exact (Sterbenz). |z| < 2^-8.01, and next to 1,
// where r = 1 so that no table term cancels the result, |z| < 2^-7.
// ln(1 + z) is its Taylor series, of degree 10 in the fast path and 15 in
// double-double in the accurate path. log10 multiplies by 1/ln(10) in
// double-double; its exact results, log10(10^k) = k, are caught first.
#include <cstdint>
#include <limits>

#include "maths/exp_log_internal.h"
#include "maths/maths.h"
#include "maths/rounding.h"
#include "maths/tables.h"

namespace quelmar::maths {

namespace detail {

namespace {

using tables::kInverse;
using tables::kLn2;
using tables::kLog;

constexpr std::uint64_t kMantissaBits = 0x000fffffffffffffull;
constexpr int kIndexShift = 45;        // the 7 leading mantissa bits index the table
constexpr std::uint64_t kHalvedFrom = 53;  // from 1 + 53/128 on, m is halved
constexpr std::uint64_t kLowHalf = (std::uint64_t{1} << 27) - 1;  // m's 27-bit low part
constexpr int kExponentBias = 1023;
constexpr int kSubnormalShift = 52;

// log_fast's error bound: kCubicError |a|^3 + kRelativeError |ln x| +
// kConstantError (the last unless e = 0 and r = 1, next to 1).
// - The tail a^3 poly(a) (at most 0.3343 |a|^3) carries 4.33 roundings of
//   2^-53 (a^2, a^3, 1/3, poly's last sum and inner terms, the product):
//   2^-52.47 |a|^3; lo's last rounding 2^-54.58 |a|^3; the truncation
//   |a|^11/11 (1 + |a|) < 2^-59.4 |a|^3 for |a| < 2^-7; b a^3 left out
//   2^-60 |a|^3. Together 2^-52.15 |a|^3: kCubicError = 2^-51.5.
// - e mid (below 2^-33.98) rounded and three sums involving it: 4 2^-87;
//   e lo left out 2^-92; the table 2^-107.5: kConstantError = 2^-84.
// - The other sums of small terms: 2^-100 relative.
// Relative to ln(x): next to 1, ln(x) ~ a with |a| < 2^-7, 2^-65.5; elsewhere
// |ln x| >= 2^-8.01 and |a| < 2^-8.01, below 2^-75.
constexpr double kCubicError = 0x1.6a09e667f3bcdp-52;  // 2^-51.5
constexpr double kConstantError = 0x1p-84;
constexpr double kRelativeError = 0x1p-100;

struct LogReduction {
  int e;
  const tables::LogEntry* entry;
  DoubleDouble z;  // m r - 1, normalized, exact
};

inline LogReduction reduce(double x) noexcept {
  std::uint64_t bits = to_bits(x);
  int e = static_cast<int>(bits >> 52);
  if (e == 0) {  // subnormal: scaled into the normal range, exactly
    bits = to_bits(x * 0x1p52);
    e = static_cast<int>(bits >> 52) - kSubnormalShift;
  }
  e -= kExponentBias;
  std::uint64_t mantissa = bits & kMantissaBits;
  std::uint64_t index = mantissa >> kIndexShift;
  std::uint64_t halve = index >= kHalvedFrom ? 1 : 0;
  e += static_cast<int>(halve);
  double m = from_bits(mantissa | (static_cast<std::uint64_t>(kExponentBias - halve) << 52));
  double m_hi = from_bits(to_bits(m) & ~kLowHalf);
  double m_lo = m - m_hi;
  const tables::LogEntry* entry = &kLog[index];
  double zh = m_hi * entry->r - 1.0;
  double zl = m_lo * entry->r;
  return {e, entry, two_sum(zh, zl)};
}

}  // namespace

LogApproximation log_fast(double x) noexcept {
  LogReduction red = reduce(x);
  double a = red.z.hi;
  double b = red.z.lo;
  // ln(1 + a + b) = ln(1 + a) + b/(1 + a) - ..., the second term as
  // b (1 - a + a^2) (what is left out, below 2^-53 |a|^4, is negligible);
  // ln(1 + a) = a - a^2/2 + a^3 poly(a), degree 10.
  DoubleDouble sq = two_square(a);
  double poly = kInverse[3].hi -
                a * (kInverse[4].hi -
                     a * (kInverse[5].hi -
                          a * (kInverse[6].hi -
                               a * (kInverse[7].hi -
                                    a * (kInverse[8].hi - a * (kInverse[9].hi - a * kInverse[10].hi))))));
  double tail = (sq.hi * a) * poly;
  double correction = b * ((1.0 - a) + sq.hi);
  // The sum e ln(2) - ln(r) + a - a^2/2 with its rounding errors kept; the
  // smaller terms next, and the tail last.
  DoubleDouble s1 = fast_two_sum(red.e * kLn2.hi, red.entry->neg_log_hi);  // |e ln 2| > 2 |ln r| unless e = 0
  DoubleDouble s2 = two_sum(s1.hi, a);
  DoubleDouble s3 = two_sum(s2.hi, -0.5 * sq.hi);
  double small = ((s1.lo + s2.lo) + s3.lo) +
                 ((red.e * kLn2.mid + red.entry->neg_log_mid) + (correction - 0.5 * sq.lo));
  double lo = small + tail;
  DoubleDouble value = fast_two_sum(s3.hi, lo);
  double abs_a = a < 0 ? -a : a;
  double abs_value = value.hi < 0 ? -value.hi : value.hi;
  bool near_one = red.e == 0 && red.entry->r == 1.0;
  double error = kCubicError * (sq.hi * abs_a) + kRelativeError * abs_value + (near_one ? 0.0 : kConstantError);
  return {value, error};
}

DoubleDouble log_accurate(double x) noexcept {
  LogReduction red = reduce(x);
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
    DoubleDouble c = {kInverse[k + 1].hi, kInverse[k + 1].lo};
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

constexpr double kInfinity = std::numeric_limits<double>::infinity();

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

}  // namespace

double log(double x) {
  double result;
  if (log_special(x, result)) return result;
  if (x == 1.0) return 0.0;  // the only double with a rational logarithm
  detail::LogApproximation fast = detail::log_fast(x);
  if (round_nearest(fast.value.hi, fast.value.lo, fast.error, result)) return result;
  DoubleDouble accurate = detail::log_accurate(x);
  if (round_nearest(accurate.hi, accurate.lo, accurate.hi * detail::kLogAccurateError, result)) return result;
  return detail::log_exact(x);
}

double log10(double x) {
  double result;
  if (log_special(x, result)) return result;
  if (x >= 1.0 && x <= kPowersOfTen[kLargestExactPower]) {
    // 10^k lies in [2^E, 2^(E+1)) with E = floor(k log2(10)), so k is
    // floor(E log10(2)) or one more; 77/256 is log10(2) closely enough
    // for E <= 73.
    int binary_exponent = static_cast<int>(to_bits(x) >> 52) - 1023;
    int k = (binary_exponent * 77) >> 8;
    for (int candidate = k; candidate <= k + 1 && candidate <= kLargestExactPower; ++candidate) {
      if (x == kPowersOfTen[candidate]) return candidate;
    }
  }
  // ln(x) times 1/ln(10) (< 0.435): ln's error shrinks with it, and
  // 1/ln(10)'s (2^-107) and the product's (2^-102.2) add below 2^-100
  // relative.
  constexpr DoubleDouble kInvLn10 = {tables::kInvLn10.hi, tables::kInvLn10.lo};
  constexpr double kInvLn10Bound = 0.435;
  constexpr double kProductError = 0x1p-100;
  constexpr double kAccurateError = detail::kLogAccurateError + kProductError;
  detail::LogApproximation ln = detail::log_fast(x);
  DoubleDouble fast = dd_mul(ln.value, kInvLn10);
  double fast_error = ln.error * kInvLn10Bound + (fast.hi < 0 ? -fast.hi : fast.hi) * kProductError;
  if (round_nearest(fast.hi, fast.lo, fast_error, result)) return result;
  DoubleDouble accurate = dd_mul(detail::log_accurate(x), kInvLn10);
  if (round_nearest(accurate.hi, accurate.lo, accurate.hi * kAccurateError, result)) return result;
  return detail::log10_exact(x);
}

}  // namespace quelmar::maths
