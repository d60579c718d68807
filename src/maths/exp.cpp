// exp, correctly rounded.
//
// exp(t) = 2^k * 2^(j/N) * exp(r) with t = (N k + j) ln(2)/N + r
// (exp_log_internal.h). A quick first try (N = 256, degree 5, relative
// error below 1.97 2^-62) decides all but about one argument in 200; exp_fast
// (N = 128, degree 6, 2^-67) leaves about one in 10^4 of all; the
// accurate path (double-double, degree 10, 2^-100) nearly all that remain.
// The few arguments all three leave undecided (exp's hardest cases need
// about 2^-113) go to the multiprecision path.
#include <cstdint>
#include <limits>

#include "maths/exp_log_internal.h"
#include "maths/maths.h"
#include "maths/rounding.h"
#include "maths/tables.h"

namespace quelmar::maths {

namespace detail {

ScaledDoubleDouble exp_accurate(DoubleDouble t) noexcept {
  using tables::kInvFactorial;
  using tables::kLn2Scaled;
  ExpReduction red = exp_reduce(t.hi);
  // r in double-double: the reduction's terms summed exactly but for the
  // last additions, below 2^-61 each: error under 2^-112.
  double r1 = t.hi - red.n * kLn2Scaled.hi;
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
    p = dd_add(p, kInvFactorial[k]);
  }
  // Times T (table error 2^-107, product 2^-102.2): in all under 2^-101.6,
  // bounded by kExpAccurateError = 2^-100.
  const tables::Pair& tab = tables::kExp2[red.j];
  DoubleDouble v = dd_mul(p, tab);
  return {v, red.k};
}

}  // namespace detail

namespace {

// |x| < 2^-54 gives exp(x) within (1 - 2^-54, 1 + 2^-54): 1 is nearest.
constexpr std::uint64_t kTinyBits = 0x3c90000000000000ull;  // 2^-54
// Arguments with 2^-54 <= |x| < 708 (bit patterns of |x| from kTinyBits on,
// kQuickSpan of them) have a normal result, e^-708 > 2^-1021 and e^708 <
// 2^1022, and go straight to exp_quick.
constexpr std::uint64_t kQuickSpan = 0x4086200000000000ull - kTinyBits;  // up to 708

// The arguments the fast path leaves undecided: the accurate path, then
// the multiprecision one.
double exp_undecided(double x) noexcept {
  double result;
  detail::ScaledDoubleDouble accurate = detail::exp_accurate({x, 0.0});
  if (round_scaled(accurate.value.hi, accurate.value.lo, accurate.value.hi * detail::kExpAccurateError,
                   accurate.exponent, result))
    return result;
  return detail::exp_exact(x);
}

}  // namespace

namespace detail {

// Everything exp_quick does not decide: special and tiny arguments, results
// near overflow or subnormal, and the undecided ones (exp_fast, then the
// accurate and multiprecision paths). Out of line, so that the quick path
// needs no stack frame.
double exp_other(double x) noexcept {
  std::uint64_t magnitude_bits = to_bits(x) & ~kSignBit;
  if (x != x) return x + x;  // NaN, quieted
  if (x >= kOverflowBound) return kInfinity;
  if (x <= kUnderflowBound) return 0.0;  // exp(-inf) too
  if (magnitude_bits < kTinyBits) return 1.0;
  double result;
  detail::ScaledDoubleDouble fast = detail::exp_fast({x, 0.0});
  if (round_scaled(fast.value.hi, fast.value.lo, fast.value.hi * detail::kExpFastError, fast.exponent, result))
    return result;
  return exp_undecided(x);
}

}  // namespace detail

double exp(double x) noexcept {
  std::uint64_t magnitude_bits = to_bits(x) & ~kSignBit;
  if (magnitude_bits - kTinyBits < kQuickSpan) {
    detail::QuickExp quick = detail::exp_quick({x, 0.0});
    double result;
    if (round_normal_bits(quick.value.hi, quick.value.lo, quick.value.hi * detail::kExpQuickWidened,
                          quick.scale_bits, result))
      return result;
  }
  return detail::exp_other(x);
}

}  // namespace quelmar::maths
