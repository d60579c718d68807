#include "maths/rounding.h"

namespace quelmar::maths::rounding_detail {

namespace {

// The magnitude |2^e (hi + lo)| rounded when err permits, for a scaled value
// below 2^-1021: the grid there is uniform with spacing 2^-1074, which is
// q = 2^(-1074-e) in the unscaled domain, and rounding is done in integers
// on that grid. s is normalized (|lo| <= ulp(hi) / 2) with s.hi > 0.
bool round_uniform(DoubleDouble s, double err, int e, std::uint64_t& magnitude_bits) noexcept {
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
    if (!clear_of_midpoint(0.5 * ulp, s.lo, err)) return false;
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

}  // namespace

bool round_scaled_edge(DoubleDouble s, double err, int e, std::uint64_t sign, double& result) noexcept {
  std::uint64_t bits = to_bits(s.hi);
  int exponent = static_cast<int>(bits >> 52) - kExponentBias;
  if (exponent + e < kMinUniformExponent) {
    std::uint64_t magnitude_bits;
    if (!round_uniform(s, err, e, magnitude_bits)) return false;
    result = from_bits(magnitude_bits | sign);
    return true;
  }
  // Overflow: s.hi 2^e >= 2^1024 once the rounding on hi's grid, decided as
  // in round_scaled, keeps s.hi (a power of two with lo < 0 might round
  // down to the largest double).
  if (!clear_of_midpoint(half_ulp_toward(bits, s.lo), s.lo, err)) return false;
  result = from_bits(kExponentBits | sign);
  return true;
}

}  // namespace quelmar::maths::rounding_detail
