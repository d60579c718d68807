#pragma once

// The rounding test of the correctly rounded functions (Ziv's strategy): an
// approximation hi + lo of the exact value v, known to within err, decides
// the double nearest to v when no rounding boundary (a midpoint between two
// neighbouring doubles) lies within err of hi + lo. The value may be scaled
// by 2^e, so that results that overflow or fall into the subnormal range are
// rounded on their own grid, with a single rounding.
#include <cmath>
#include <cstdint>

#include "maths/double_double.h"

namespace quelmar::maths {

namespace rounding_detail {

// Smallest exponent of a double whose predecessor is normal too: from 2^-1021
// up, rounding on the grid of hi's binade and then shifting the exponent is
// exact; below it the subnormal grid (spacing 2^-1074) takes over.
constexpr int kMinUniformExponent = -1021;
constexpr int kOverflowExponent = 1024;
// An error bound is enlarged by this factor before it is compared with the
// distance to the boundary, to cover the one rounding (relative 2^-53) in
// computing that distance and the rounding of err itself.
constexpr double kErrorMargin = 1.0 + 0x1p-50;

// Half the spacing of the doubles next to a positive double with bit pattern
// `bits`, on the side lo points to: below a power of two the grid is twice as
// fine, so the midpoint under it is a quarter ulp away.
inline double half_ulp_toward(std::uint64_t bits, double lo) noexcept {
  double half_ulp = from_bits(bits & kExponentBits) * 0x1p-53;
  // (The rare power of two tested first: lo's sign is a coin toss.)
  if ((bits & kMantissaBits) == 0 && lo <= 0.0) half_ulp *= 0.5;
  return half_ulp;
}

// Whether lo -+ err stays on the same side of the midpoint half_ulp away;
// err == 0 declares hi + lo exact (ties are resolved already by fl(hi + lo)).
// gap is exact when |lo| >= half_ulp / 2 (Sterbenz) and otherwise rounded
// once, relative 2^-53: kErrorMargin covers it.
inline bool clear_of_midpoint(double half_ulp, double lo, double err) noexcept {
  double gap = half_ulp - std::fabs(lo);
  return err == 0.0 || err * kErrorMargin < gap;
}

// round_scaled for results outside the normal range: below 2^-1021,
// rounded on the uniform grid of spacing 2^-1074 (subnormal), and from
// 2^1024 on (overflow to infinity). s is normalized with s.hi > 0.
// (rounding.cpp)
bool round_scaled_edge(DoubleDouble s, double err, int e, std::uint64_t sign, double& result) noexcept;

}  // namespace rounding_detail

// Sets result to the double nearest to v = 2^e (hi + lo), ties to even, on
// the whole double range (subnormal results on their grid, overflow to
// infinity), and returns true, when |v - 2^e (hi + lo)| <= 2^e err decides
// it; returns false, leaving result alone, when a rounding boundary lies
// within that error. err == 0 declares hi + lo exact, and an exact tie is
// then resolved to even.
//
// Needs |hi| >= 2^-960 (so that its ulp is a normal double), |lo| <= |hi|,
// |err| <= 2^-60 |hi| (the callers' bounds are far smaller; its sign is
// ignored), and |e| < 2^20. The common case, a normal result, is inline.
inline bool round_scaled(double hi, double lo, double err, int e, double& result) noexcept {
  using namespace rounding_detail;
  err = std::fabs(err);  // callers pass |hi| times a relative bound; hi may be negative
  std::uint64_t sign = to_bits(hi) & kSignBit;
  // Branch-free: the sign of a result is as often one as the other.
  DoubleDouble s = fast_two_sum(std::fabs(hi), from_bits(to_bits(lo) ^ sign));
  std::uint64_t bits = to_bits(s.hi);
  int scaled_exponent = static_cast<int>(bits >> 52) - kExponentBias + e;
  if (scaled_exponent < kMinUniformExponent || scaled_exponent >= kOverflowExponent) {
    return round_scaled_edge(s, err, e, sign, result);
  }
  // s.hi = fl(hi + lo) is the nearest double on hi's grid (ties to even
  // included); it is v's rounding when lo + err and lo - err stay on the
  // same side of the nearest midpoint.
  if (!clear_of_midpoint(half_ulp_toward(bits, s.lo), s.lo, err)) return false;
  // Shifting the exponent field is the exact product by 2^e.
  result = from_bits((bits + (static_cast<std::uint64_t>(static_cast<std::int64_t>(e)) << 52)) | sign);
  return true;
}

// round_scaled without scaling, for results known to be normal doubles.
inline bool round_nearest(double hi, double lo, double err, double& result) noexcept {
  return round_scaled(hi, lo, err, 0, result);
}

// The same test, quicker, for results 2^e (hi + lo) the caller knows to be
// normal (2^e hi at least 2^-1021 and below 2^1023). hi + lo need not be
// normalized (|lo| <= |hi| / 2).
//
// The doubles nearest to hi + lo - err and to hi + lo + err are compared:
// rounding is monotonic, so when they agree, every value between rounds to
// the same double. This holds for the computed sums provided their
// arguments fl(lo - err) and fl(lo + err) enclose lo - bound and lo + bound
// strictly, bound being the true error bound (a midpoint m within the
// interval has m - hi, a multiple of a quarter of hi's ulp, a double, so it
// would lie between them, and round them apart unless one of them hit m
// exactly). fl(lo -+ err) is within 2^-53 (|lo| + err) of lo -+ err, so the
// caller passes err >= bound (1 + 2^-50) + 2^-51 |lo| (it knows |lo|'s
// size relative to hi and folds this into its constants).
//
// The scaling is given as scale_bits = e 2^52 modulo 2^64: adding it to the
// bit pattern of a normal double is the exact product by 2^e.
inline bool round_normal_bits(double hi, double lo, double err, std::uint64_t scale_bits, double& result) noexcept {
  double low = hi + (lo - err);
  double high = hi + (lo + err);
  if (low != high) return false;
  result = from_bits(to_bits(low) + scale_bits);
  return true;
}

inline bool round_normal(double hi, double lo, double err, int e, double& result) noexcept {
  return round_normal_bits(hi, lo, err, static_cast<std::uint64_t>(static_cast<std::int64_t>(e)) << 52, result);
}

}  // namespace quelmar::maths
