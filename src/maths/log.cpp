// log and log10, correctly rounded.
//
// ln(x) = e ln(2) - ln(r) + ln(1 + z) with r from a table and z = m r - 1
// exact (exp_log_internal.h). The quick tier (256 reciprocals, |z| <=
// 2^-8.99, ln(1 + z) to degree 7, relative error below 2^-65.5) decides
// all but about one argument in 3000; the fast path (128 reciprocals,
// degree 10, an error bound worked out per call, 2^-75 away from 1) nearly
// all the others; then the accurate path (degree 15 in double-double,
// 2^-99) and the multiprecision one. log10 multiplies by 1/ln(10).
#include <cmath>
#include <cstdint>

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

// Positive normal doubles take the quick tier; the check is one unsigned
// comparison on the bit pattern.
constexpr std::uint64_t kSmallestNormalBits = 0x0010000000000000ull;
constexpr std::uint64_t kNormalSpan = 0x7ff0000000000000ull - kSmallestNormalBits;

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
  return detail::log_other(x);
}

double log10(double x) noexcept {
  std::uint64_t bits = to_bits(x);
  if (bits - kSmallestNormalBits < kNormalSpan) {
    DoubleDouble fast = detail::times_inv_ln10(detail::log_quick(bits, 0));
    double result;
    if (round_normal(fast.hi, fast.lo, std::fabs(fast.hi) * detail::kQuickLog10Error, 0, result)) return result;
  }
  return detail::log10_other(x);
}

}  // namespace quelmar::maths
