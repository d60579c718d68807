#pragma once

// The evaluation cores shared by exp, log, log10 and pow: each returns an
// approximation with a proved bound on its error, and the callers decide
// the rounding with round_scaled (rounding.h). The fast paths are inline
// here so that exp, log and pow each compile into one piece.
#include <cstdint>

#include "maths/double_double.h"
#include "maths/tables.h"

namespace quelmar::maths::detail {

// 2^exponent * value.
struct ScaledDoubleDouble {
  DoubleDouble value;
  int exponent;
};

// ---------------------------------------------------------------------------
// exp: t = (128 k + j) ln(2)/128 + r with |r| <= ln(2)/256 (1 + 2^-30) <
// 2^-8.52, exp(t) = 2^k 2^(j/128) exp(r), 2^(j/128) from a table.

struct ExpReduction {
  double n;  // the integer 128 k + j
  int k;
  int j;
};

constexpr int kExpTableBits = 7;
constexpr int kExpTableMask = (1 << kExpTableBits) - 1;
// Adding 1.5 * 2^52 rounds a double below 2^51 to an integer, to nearest.
constexpr double kRoundingShift = 0x1.8p52;

// The nearest integer to t * 128/ln(2). |t| <= 746 gives |n| < 2^18, so that
// n * kLn2Scaled.hi (35 significant bits) is exact, and t - n hi too: the
// difference, below 2^-8 in magnitude, is a multiple of the smaller of
// ulp(t) and 2^-42 (hi's last bit) that needs at most 53 bits (for |t| <
// 2^-8.5, n is 0 or +-1 and ulp(t) >= 2^-61; larger t have a coarser grid).
inline ExpReduction exp_reduce(double t) noexcept {
  double n = (t * tables::kInvLn2Scaled + kRoundingShift) - kRoundingShift;
  int ni = static_cast<int>(n);
  int j = ni & kExpTableMask;
  return {n, (ni - j) / (kExpTableMask + 1), j};
}

// exp(t.hi + t.lo) for |t.hi| <= 746 and |t.lo| <= ulp(t.hi): 2^exponent *
// value with value in [0.7, 1.5), within kExpFastError relative of the
// exponential of t.hi + t.lo taken as exact.
constexpr double kExpFastError = 0x1p-67;

inline ScaledDoubleDouble exp_fast(DoubleDouble t) noexcept {
  using tables::kInvFactorial;
  ExpReduction red = exp_reduce(t.hi);
  // r = rh + rl, |rh| < 2^-8.52, |rl| <= ulp(rh) / 2 <= 2^-62. The error
  // in r: n * mid rounded (|n mid| < 2^18 * 2^-43.8, so 2^-79) and n * lo
  // left out (< 2^18 * 2^-98.4 = 2^-80.4), together 2^-78.4 absolute.
  double r1 = t.hi - red.n * tables::kLn2Scaled.hi;
  DoubleDouble r = two_sum(r1, t.lo - red.n * tables::kLn2Scaled.mid);
  double rh = r.hi;
  // exp(r) - 1 = rh + rl + rh^2 w(rh) + rh rl with w the Taylor series from
  // 1/2 on, degree 4 (so exp's of degree 6), summed so that only its last
  // addition rounds at the level of 1/2. Absolute errors, in units of
  // 2^-72: truncation |r|^7/7! e^|r| 1.07; rh^2 rounded (rh^2 < 2^-17.04,
  // half an ulp 2^-71, times w <= 0.5005) 1.0; w rounded (2^-54 at most,
  // its coefficients' and inner terms' errors below 2^-62, times rh^2) 1.9;
  // the product q 1.0; rl rh^2/2 left out 0.004; the two additions into lo
  // (values below 2^-18) 2.0. Together 7.0.
  double rh2 = rh * rh;
  double w = kInvFactorial[2].hi +
             (kInvFactorial[3].hi * rh +
              rh2 * ((kInvFactorial[4].hi + kInvFactorial[5].hi * rh) + kInvFactorial[6].hi * rh2));
  double q = rh2 * w;
  double e_lo = r.lo + (q + rh * r.lo);
  // T (1 + rh + e_lo) with T = 2^(j/128) = Th + Tl: Th rh exactly, Th e_lo
  // rounded (< 2^-17.5: 2^-71 = 2 units), Tl e_lo left out (2 units), the
  // small terms summed first (errors near 2^-105) and Th e_lo added last
  // (2 units). With the 7 units above, 13 units over a result of at least
  // 0.997 T: 2^-68.3 relative, bounded by kExpFastError = 2^-67.
  const tables::Pair& tab = tables::kExp2[red.j];
  DoubleDouble p = two_prod(tab.hi, rh);
  DoubleDouble s = fast_two_sum(tab.hi, p.hi);
  double small = s.lo + (tab.lo + (p.lo + tab.lo * rh));
  double lo = small + tab.hi * e_lo;
  return {{s.hi, lo}, red.k};
}

// The same within kExpAccurateError (exp.cpp).
constexpr double kExpAccurateError = 0x1p-100;
ScaledDoubleDouble exp_accurate(DoubleDouble t) noexcept;

// ---------------------------------------------------------------------------
// log: x = 2^e m with m in [1 - 2^-8, 1 + 53/128) (the mantissa, halved from
// 1 + 53/128 on), ln(x) = e ln(2) - ln(r) + ln(1 + z) with r from a table
// of 128 reciprocals indexed by m's leading bits and z = m r - 1 computed
// without error: r has 21 significant bits and m is cut into a 26-bit and a
// 27-bit part, so that both products are exact, and subtracting 1 is exact
// (Sterbenz). |z| < 2^-8.01, and next to 1, where r = 1 so that no table
// term cancels the result, |z| < 2^-7.

struct LogReduction {
  int e;
  const tables::LogEntry* entry;
  DoubleDouble z;  // m r - 1, normalized, exact
};

constexpr std::uint64_t kLogMantissaBits = 0x000fffffffffffffull;
constexpr int kLogIndexShift = 45;                           // 7 leading mantissa bits
constexpr std::uint64_t kLogHalvedFrom = 53;                  // from 1 + 53/128 on, m is halved
constexpr std::uint64_t kLogLowPart = (std::uint64_t{1} << 27) - 1;  // m's 27-bit low part
constexpr int kLogExponentBias = 1023;
constexpr int kLogSubnormalShift = 52;

// For a positive finite x (subnormals included).
inline LogReduction log_reduce(double x) noexcept {
  std::uint64_t bits = to_bits(x);
  int e = static_cast<int>(bits >> 52);
  if (e == 0) {  // subnormal: scaled into the normal range, exactly
    bits = to_bits(x * 0x1p52);
    e = static_cast<int>(bits >> 52) - kLogSubnormalShift;
  }
  e -= kLogExponentBias;
  std::uint64_t mantissa = bits & kLogMantissaBits;
  std::uint64_t index = mantissa >> kLogIndexShift;
  std::uint64_t halve = index >= kLogHalvedFrom ? 1 : 0;
  e += static_cast<int>(halve);
  double m = from_bits(mantissa | (static_cast<std::uint64_t>(kLogExponentBias - halve) << 52));
  double m_hi = from_bits(to_bits(m) & ~kLogLowPart);
  double m_lo = m - m_hi;
  const tables::LogEntry* entry = &tables::kLog[index];
  double zh = m_hi * entry->r - 1.0;
  double zl = m_lo * entry->r;
  return {e, entry, two_sum(zh, zl)};
}

// ln(x) within error (absolute); at worst 2^-65.5 relative (next to 1).
struct LogApproximation {
  DoubleDouble value;
  double error;
};

// log_fast's error bound: kLogCubicError |a|^3 + kLogRelativeError |ln x| +
// kLogConstantError (the last unless e = 0 and r = 1, next to 1).
// - The tail a^3 poly(a) (at most 0.3343 |a|^3) carries 4.33 roundings of
//   2^-53 (a^2, a^3, 1/3, poly's last sum with its inner terms, the
//   product): 2^-52.47 |a|^3; lo's last rounding 2^-54.58 |a|^3; the
//   truncation |a|^11/11 (1 + |a|) < 2^-59.4 |a|^3 for |a| < 2^-7; b a^3
//   left out 2^-60 |a|^3. Together 2^-52.15 |a|^3: kLogCubicError = 2^-51.5.
// - e mid (below 2^-33.98) rounded and three sums involving it: 4 2^-87;
//   e lo left out 2^-92; the table 2^-107.5: kLogConstantError = 2^-84.
// - The other sums of small terms: 2^-100 relative.
// Relative to ln(x): next to 1, ln(x) ~ a with |a| < 2^-7, 2^-65.5; elsewhere
// |ln x| >= 2^-8.01 and |a| < 2^-8.01, below 2^-75.
constexpr double kLogCubicError = 0x1.6a09e667f3bcdp-52;  // 2^-51.5
constexpr double kLogConstantError = 0x1p-84;
constexpr double kLogRelativeError = 0x1p-100;

// ln(x) for a positive finite x other than 1 (subnormals included).
inline LogApproximation log_fast(double x) noexcept {
  using tables::kInverse;
  using tables::kLn2;
  LogReduction red = log_reduce(x);
  double a = red.z.hi;
  double b = red.z.lo;
  // ln(1 + a + b) = ln(1 + a) + b/(1 + a) - ..., the second term as
  // b (1 - a + a^2) (what is left out, below 2^-53 |a|^4, is negligible);
  // ln(1 + a) = a - a^2/2 + a^3 poly(a), degree 10, poly summed so that
  // only its last addition rounds at the level of 1/3.
  DoubleDouble sq = two_square(a);
  double a2 = sq.hi;
  double a4 = a2 * a2;
  double inner = -kInverse[4].hi * a + a2 * (kInverse[5].hi - kInverse[6].hi * a) +
                 a4 * ((kInverse[7].hi - kInverse[8].hi * a) + a2 * (kInverse[9].hi - kInverse[10].hi * a));
  double poly = kInverse[3].hi + inner;
  double tail = (a2 * a) * poly;
  double correction = b * ((1.0 - a) + a2);
  // The sum e ln(2) - ln(r) + a - a^2/2 with its rounding errors kept; the
  // smaller terms next, and the tail last.
  // Each fast_two_sum has its larger term first: |e ln 2| > 2 |ln r| unless
  // e = 0; |ln r| >= 0.0058 > |a| unless r = 1 (then s1 is 0); |s2.hi| >=
  // 2^-8.02 > a^2/2 unless s2.hi = a (next to 1).
  DoubleDouble s1 = fast_two_sum(red.e * kLn2.hi, red.entry->neg_log_hi);
  DoubleDouble s2 = fast_two_sum(s1.hi, a);
  DoubleDouble s3 = fast_two_sum(s2.hi, -0.5 * a2);
  double small = ((s1.lo + s2.lo) + s3.lo) +
                 ((red.e * kLn2.mid + red.entry->neg_log_mid) + (correction - 0.5 * sq.lo));
  double lo = small + tail;
  DoubleDouble value = fast_two_sum(s3.hi, lo);
  double abs_a = a < 0 ? -a : a;
  double abs_value = value.hi < 0 ? -value.hi : value.hi;
  double constant = (red.e == 0 && red.entry->r == 1.0) ? 0.0 : kLogConstantError;
  double error = kLogCubicError * (a2 * abs_a) + kLogRelativeError * abs_value + constant;
  return {value, error};
}

// The same within kLogAccurateError relative (log.cpp).
constexpr double kLogAccurateError = 0x1p-99;
DoubleDouble log_accurate(double x) noexcept;

// ---------------------------------------------------------------------------
// The correctly rounded results for the arguments that both Ziv tests leave
// undecided, in multiprecision arithmetic (exp_log_exact.cpp). pow_exact
// takes |x| and returns |x|^y.
double exp_exact(double x) noexcept;
double log_exact(double x) noexcept;
double log10_exact(double x) noexcept;
double pow_exact(double ax, double y) noexcept;

}  // namespace quelmar::maths::detail
