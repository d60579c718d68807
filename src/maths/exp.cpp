// exp, correctly rounded.
//
// exp(t) = 2^k * 2^(j/128) * exp(r) with t = (128 k + j) ln(2)/128 + r and
// |r| <= ln(2)/256 (1 + 2^-30) < 2^-8.52. 2^(j/128) comes from a table; exp(r)
// from its Taylor series, of degree 6 in the fast path (relative error
// below 2^-67, against 2^-53 for the result's half ulp, so the rounding test
// fails for about one argument in 8000) and of degree 10 in double-double in
// the accurate path (2^-100). The few arguments both tests leave undecided,
// exp's hardest cases need about 2^-113, go to the multiprecision path.
#include <cstdint>

#include "maths/exp_log_internal.h"
#include "maths/maths.h"
#include "maths/rounding.h"
#include "maths/tables.h"

namespace quelmar::maths {

namespace detail {

namespace {

using tables::kExp2;
using tables::kInvFactorial;
using tables::kInvLn2Scaled;
using tables::kLn2Scaled;

constexpr int kTableBits = 7;
constexpr int kTableMask = (1 << kTableBits) - 1;
// Adding 1.5 * 2^52 rounds a double below 2^51 to an integer, to nearest.
constexpr double kRoundingShift = 0x1.8p52;

struct Reduced {
  double n;  // the integer 128 k + j
  int k;
  int j;
};

// The nearest integer to t * 128/ln(2). |t| <= 746 gives |n| < 2^18, so that
// n * kLn2Scaled.hi (35 significant bits) is exact.
inline Reduced reduce(double t) noexcept {
  double n = (t * kInvLn2Scaled + kRoundingShift) - kRoundingShift;
  int ni = static_cast<int>(n);
  int j = ni & kTableMask;
  return {n, (ni - j) / (kTableMask + 1), j};
}

// t - n ln(2)/128 without error: n * hi is exact, and the difference, below
// 2^-8 in magnitude, is a multiple of the smaller of ulp(t) and 2^-42 (the
// last bit of hi) that needs at most 53 bits: for |t| < 2^-8 ... 2^-8.5, n is
// 0 or +-1 and ulp(t) >= 2^-61; for larger t the grid is coarser.
inline double reduce_exact_part(double t, double n) noexcept { return t - n * kLn2Scaled.hi; }

}  // namespace

ScaledDoubleDouble exp_fast(DoubleDouble t) noexcept {
  Reduced red = reduce(t.hi);
  // r = rh + rl, |rh| < 2^-8.52, |rl| <= ulp(rh) / 2 <= 2^-62. The error
  // in r: n * mid rounded (|n mid| < 2^18 * 2^-43.8, so 2^-79) and n * lo
  // left out (< 2^18 * 2^-98.4 = 2^-80.4), together 2^-78.4 absolute.
  double r1 = reduce_exact_part(t.hi, red.n);
  DoubleDouble r = two_sum(r1, t.lo - red.n * kLn2Scaled.mid);
  double rh = r.hi;
  // exp(r) - 1 = rh + rl + rh^2 q(rh) + rh rl with q the Taylor series from
  // 1/2 on, degree 4 (so exp's of degree 6). Absolute errors, in units of
  // 2^-72: truncation |r|^7/7! e^|r| 1.07; rh^2 rounded (rh^2 < 2^-17.04,
  // half an ulp 2^-71, times w <= 0.5005) 1.0; w = 1/2 + ... rounded (2^-54
  // at most, times rh^2) 1.9; the product 1.0; rl rh^2/2 left out 0.004;
  // the two additions into lo (values below 2^-18) 2.0. Together 7.0.
  double w = kInvFactorial[2].hi +
             rh * (kInvFactorial[3].hi +
                   rh * (kInvFactorial[4].hi + rh * (kInvFactorial[5].hi + rh * kInvFactorial[6].hi)));
  double q = (rh * rh) * w;
  double e_lo = r.lo + (q + rh * r.lo);
  // T (1 + rh + e_lo) with T = 2^(j/128) = Th + Tl: Th rh exactly, Th e_lo
  // rounded (< 2^-17.5: 2^-71 = 2 units), Tl e_lo left out (2 units), the
  // small terms summed first (errors near 2^-105) and Th e_lo added last
  // (2 units). With the 7 units above, 13 units over a result of at least
  // 0.997 T: 2^-68.3 relative, bounded by kExpFastError = 2^-67.
  const tables::Pair& tab = kExp2[red.j];
  DoubleDouble p = two_prod(tab.hi, rh);
  DoubleDouble s = fast_two_sum(tab.hi, p.hi);
  double small = s.lo + (tab.lo + (p.lo + tab.lo * rh));
  double lo = small + tab.hi * e_lo;
  return {{s.hi, lo}, red.k};
}

ScaledDoubleDouble exp_accurate(DoubleDouble t) noexcept {
  Reduced red = reduce(t.hi);
  // r in double-double: the reduction's terms summed exactly but for the
  // last additions, below 2^-61 each: error under 2^-112.
  double r1 = reduce_exact_part(t.hi, red.n);
  DoubleDouble nm = two_prod(red.n, kLn2Scaled.mid);
  DoubleDouble s = two_sum(r1, -nm.hi);
  DoubleDouble u = two_sum(s.hi, t.lo);
  double lo = s.lo + (u.lo + (-nm.lo - red.n * kLn2Scaled.lo));
  DoubleDouble r = two_sum(u.hi, lo);
  // exp(r) = sum r^k / k!, k <= 10: truncation |r|^11/11! < 2^-118.9. Terms
  // from k = 6 on in double with rh: their rounding errors, near 2^-53/k!
  // and multiplied by r^6 < 2^-51, stay below 2^-113. The rest in
  // double-double Horner steps: each product relative 2^-102.2 of r p
  // (< 2^-8.5), each sum relative 2^-104.4 of the partial sum (<= 1.003):
  // the last sum dominates, about 2^-104.3 overall.
  double rh = r.hi;
  double tail = kInvFactorial[6].hi +
                rh * (kInvFactorial[7].hi +
                      rh * (kInvFactorial[8].hi + rh * (kInvFactorial[9].hi + rh * kInvFactorial[10].hi)));
  DoubleDouble p = {tail, 0.0};
  for (int k = 5; k >= 0; --k) {
    p = dd_mul(p, r);
    p = dd_add(p, DoubleDouble{kInvFactorial[k].hi, kInvFactorial[k].lo});
  }
  // Times T (table error 2^-107, product 2^-102.2): in all under 2^-101.6,
  // bounded by kExpAccurateError = 2^-100.
  const tables::Pair& tab = kExp2[red.j];
  DoubleDouble v = dd_mul(p, DoubleDouble{tab.hi, tab.lo});
  return {v, red.k};
}

}  // namespace detail

namespace {

// exp(x) overflows from ln(2^1024 - 2^970) = 709.7827128933840 on and
// rounds to zero below ln(2^-1075) = -745.1332191019412; past these bounds
// the answer is known without evaluating anything.
constexpr double kOverflowBound = 710.0;
constexpr double kUnderflowBound = -746.0;
// |x| < 2^-54 gives exp(x) within (1 - 2^-54, 1 + 2^-54): 1 is nearest.
constexpr double kTinyBound = 0x1p-54;
// Products that overflow to +inf and underflow to +0.
constexpr double kHuge = 0x1p1023;
constexpr double kTiny = 0x1p-1022;

}  // namespace

double exp(double x) {
  if (x != x) return x + x;  // NaN, quieted
  if (x >= kOverflowBound) return kHuge * kHuge;  // +inf, with the overflow flag for finite x
  if (x <= kUnderflowBound) return x == -kHuge * kHuge ? 0.0 : kTiny * kTiny;  // +0
  double ax = x < 0 ? -x : x;
  if (ax < kTinyBound) return 1.0 + x;
  double result;
  detail::ScaledDoubleDouble fast = detail::exp_fast({x, 0.0});
  if (round_scaled(fast.value.hi, fast.value.lo, fast.value.hi * detail::kExpFastError, fast.exponent, result))
    return result;
  detail::ScaledDoubleDouble accurate = detail::exp_accurate({x, 0.0});
  if (round_scaled(accurate.value.hi, accurate.value.lo, accurate.value.hi * detail::kExpAccurateError,
                   accurate.exponent, result))
    return result;
  return detail::exp_exact(x);
}

}  // namespace quelmar::maths
