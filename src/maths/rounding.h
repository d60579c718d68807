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

constexpr std::uint64_t kSignBit = 0x8000000000000000ull;
constexpr std::uint64_t kExponentBits = 0x7ff0000000000000ull;
constexpr std::uint64_t kMantissaBits = 0x000fffffffffffffull;
constexpr std::uint64_t kImplicitBit = 0x0010000000000000ull;
constexpr int kExponentBias = 1023;
// Smallest exponent of a double whose predecessor is normal too: from 2^-1021
// up, rounding on the grid of hi's binade and then shifting the exponent is
// exact; below it the subnormal grid (spacing 2^-1074) takes over.
constexpr int kMinUniformExponent = -1021;
constexpr int kOverflowExponent = 1024;
// An error bound is enlarged by this factor before it is compared with the
// distance to the boundary, to cover the one rounding (relative 2^-53) in
// computing that distance and the rounding of err itself.
constexpr double kErrorMargin = 1.0 + 0x1p-50;

// The magnitude |2^e (hi + lo)| rounded when err permits; hi > 0, hi + lo
// normalized (|lo| <= ulp(hi) / 2), and the 2^e scaled value below 2^-1021:
// the grid there is uniform with spacing 2^-1074, which is q = 2^(-1074-e)
// in the unscaled domain, and rounding is done in integers on that grid.
inline bool round_uniform(DoubleDouble s, double err, int e, std::uint64_t& magnitude_bits) noexcept {
  std::uint64_t bits = to_bits(s.hi);
  int exponent = static_cast<int>(bits >> 52) - kExponentBias;
  // q / ulp(hi) = 2^shift with ulp(hi) = 2^(exponent - 52).
  int shift = -1022 - e - exponent;
  double ulp = from_bits(bits & kExponentBits) * 0x1p-52;
  // hi + lo < 2^(exponent + 1) (1 + 2^-53) <= q / 4 when shift >= 55: the
  // result is zero as long as err stays below q / 4 (err is far below ulp).
  if (shift >= 55) {
    if (!(err < ulp)) return false;
    magnitude_bits = 0;
    return true;
  }
  std::uint64_t mantissa = (bits & kMantissaBits) | kImplicitBit;
  if (shift == 0) {
    // The grid is hi's own: hi is decided when lo and err keep clear of
    // the midpoints hi -+ ulp / 2 (ties are resolved already by fl(hi + lo)).
    double gap = 0.5 * ulp - std::fabs(s.lo);
    if (err != 0.0 && !(err * kErrorMargin < gap)) return false;
    magnitude_bits = mantissa;
    return true;
  }
  // v / q = quotient + (remainder * ulp + lo) / q; the boundary lies where
  // remainder * ulp + lo == q / 2. Only that boundary is within reach: the
  // others are at least q / 2 - ulp / 2 >= ulp / 2 away, and err < ulp / 2.
  if (!(err < 0.5 * ulp)) return false;
  std::uint64_t quotient = mantissa >> shift;
  std::uint64_t remainder = mantissa & ((std::uint64_t{1} << shift) - 1);
  std::int64_t from_half = static_cast<std::int64_t>(remainder) - (std::int64_t{1} << (shift - 1));
  // Exact: |from_half| < 2^53 and ulp is a power of two. The sum with lo is
  // rounded once, which never changes its sign.
  double distance = static_cast<double>(from_half) * ulp + s.lo;
  bool up;
  if (err == 0.0 && distance == 0.0) {
    up = (quotient & 1) != 0;  // an exact tie: to the even neighbour
  } else {
    if (!(err * kErrorMargin < std::fabs(distance))) return false;
    up = distance > 0.0;
  }
  // A count n <= 2^53 of 2^-1074 steps is the double with bit pattern n,
  // subnormal below 2^52 and normal from 2^52 (2^-1022) on.
  magnitude_bits = quotient + (up ? 1 : 0);
  return true;
}

}  // namespace rounding_detail

// Sets result to the double nearest to v = 2^e (hi + lo), ties to even, on
// the whole double range (subnormal results on their grid, overflow to
// infinity), and returns true, when |v - 2^e (hi + lo)| <= 2^e err decides
// it; returns false, leaving result alone, when a rounding boundary lies
// within that error. err == 0 declares hi + lo exact, and an exact tie is
// then resolved to even.
//
// Needs hi normal and non-zero, |lo| <= |hi|, 0 <= err <= 2^-60 |hi| (the
// callers' bounds are far smaller), and |e| < 2^20.
inline bool round_scaled(double hi, double lo, double err, int e, double& result) noexcept {
  using namespace rounding_detail;
  err = std::fabs(err);  // callers pass |hi| times a relative bound; hi may be negative
  std::uint64_t sign = to_bits(hi) & kSignBit;
  // Branch-free: the sign of a result is as often one as the other.
  DoubleDouble s = fast_two_sum(std::fabs(hi), from_bits(to_bits(lo) ^ sign));
  std::uint64_t bits = to_bits(s.hi);
  int exponent = static_cast<int>(bits >> 52) - kExponentBias;
  if (exponent + e < kMinUniformExponent) {
    std::uint64_t magnitude_bits;
    if (!round_uniform(s, err, e, magnitude_bits)) return false;
    result = from_bits(magnitude_bits | sign);
    return true;
  }
  // s.hi = fl(hi + lo) is the nearest double on hi's grid (ties to even
  // included); it is v's rounding when lo + err and lo - err stay on the
  // same side of the nearest midpoint. Below a power of two the grid is
  // twice as fine, so the midpoint under it is a quarter ulp away.
  double half_ulp = from_bits(bits & kExponentBits) * 0x1p-53;
  // (The rare power of two tested first: lo's sign is a coin toss.)
  if ((bits & kMantissaBits) == 0 && s.lo <= 0.0) half_ulp *= 0.5;
  // gap is exact when |lo| >= half_ulp / 2 (Sterbenz) and otherwise rounded
  // once, relative 2^-53: kErrorMargin covers it.
  double gap = half_ulp - std::fabs(s.lo);
  if (err != 0.0 && !(err * kErrorMargin < gap)) return false;
  if (exponent + e >= kOverflowExponent) {
    result = from_bits(kExponentBits | sign);
    return true;
  }
  // Shifting the exponent field is the exact product by 2^e.
  result = from_bits((bits + (static_cast<std::uint64_t>(static_cast<std::int64_t>(e)) << 52)) | sign);
  return true;
}

// round_scaled without scaling, for results known to be normal doubles.
inline bool round_nearest(double hi, double lo, double err, double& result) noexcept {
  return round_scaled(hi, lo, err, 0, result);
}

}  // namespace quelmar::maths
