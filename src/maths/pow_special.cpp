// pow's arguments outside the common case: the special values that IEEE 754
// and the C library give pow (zeros, infinities, NaN, +-1), the exponents
// for which IEEE arithmetic itself rounds correctly, negative and subnormal
// bases, tiny and huge exponents. Apart from pow.cpp, so that none of this
// is folded into pow's common path.
#include <cmath>
#include <cstdint>
#include <limits>

#include "maths/double_double.h"
#include "maths/exp_log_internal.h"

namespace quelmar::maths {

namespace {

// From 2^53 on every double is an even integer.
constexpr double kAllEven = 0x1p53;
// |y| above 2^64 with |x| != 1: |ln|x|| >= 2^-53 makes |y ln|x|| > 2^11,
// far past overflow and underflow.
constexpr double kHugeExponent = 0x1p64;
constexpr double kTinyExponent = 0x1p-64;

enum class Parity { kNotInteger, kEven, kOdd };

Parity parity(double y) noexcept {
  double ay = std::fabs(y);
  if (ay >= kAllEven) return Parity::kEven;
  auto n = static_cast<std::int64_t>(ay);
  if (static_cast<double>(n) != ay) return Parity::kNotInteger;
  return (n & 1) ? Parity::kOdd : Parity::kEven;
}

// The special values of the C library's pow and the cases settled without
// arithmetic. Returns false for finite non-zero x != +-1 and finite non-zero
// y, with x < 0 only when y is an integer.
bool pow_special(double x, double y, double& result) noexcept {
  if (y == 0.0) {  // pow(x, +-0) = 1 for any x, even NaN
    result = 1.0;
    return true;
  }
  if (x == 1.0) {  // pow(+1, y) = 1 for any y, even NaN
    result = 1.0;
    return true;
  }
  if (x != x || y != y) {
    result = x + y;
    return true;
  }
  double ax = std::fabs(x);
  double ay = std::fabs(y);
  if (ay == kInfinity) {
    if (ax == 1.0) {
      result = 1.0;  // pow(-1, +-inf) = 1
    } else {
      result = ((ax < 1.0) == (y < 0)) ? kInfinity : 0.0;
    }
    return true;
  }
  Parity p = parity(y);
  bool negative_odd = (to_bits(x) & kSignBit) != 0 && p == Parity::kOdd;
  if (x == 0.0) {  // poles and zeros, signed by an odd exponent
    double magnitude = y < 0 ? kInfinity : 0.0;
    result = negative_odd ? -magnitude : magnitude;
    return true;
  }
  if (ax == kInfinity) {
    double magnitude = y < 0 ? 0.0 : kInfinity;
    result = negative_odd ? -magnitude : magnitude;
    return true;
  }
  if (x < 0 && p == Parity::kNotInteger) {
    result = std::numeric_limits<double>::quiet_NaN();  // invalid
    return true;
  }
  if (ax == 1.0) {  // x = -1 with an integer y
    result = negative_odd ? -1.0 : 1.0;
    return true;
  }
  if (ay > kHugeExponent) {
    double magnitude = ((ax > 1.0) == (y > 0)) ? kInfinity : 0.0;
    result = negative_odd ? -magnitude : magnitude;
    return true;
  }
  // Exponents for which IEEE arithmetic itself rounds correctly.
  if (y == 1.0) {
    result = x;
    return true;
  }
  if (y == 2.0) {
    result = x * x;
    return true;
  }
  if (y == -1.0) {
    result = 1.0 / x;
    return true;
  }
  if (y == 0.5) {
    result = std::sqrt(x);  // x > 0 here
    return true;
  }
  return false;
}

}  // namespace

namespace detail {

// Everything else: the special values, negative bases, subnormal bases,
// tiny exponents.
double pow_other(double x, double y) noexcept {
  double result;
  if (pow_special(x, y, result)) return result;
  double ax = std::fabs(x);
  double ay = std::fabs(y);
  // |y| < 2^-64 (not an integer, so x > 0): |y ln x| < 2^-64 * 745 < 2^-54,
  // and x^y is within (1 - 2^-54, 1 + 2^-54), never 1 itself.
  if (ay < kTinyExponent) return 1.0;
  double magnitude = pow_positive(ax, y);
  return (x < 0 && parity(y) == Parity::kOdd) ? -magnitude : magnitude;
}

}  // namespace detail

}  // namespace quelmar::maths
