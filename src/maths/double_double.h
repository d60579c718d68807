#pragma once

// Double-double arithmetic: a value carried as the unevaluated sum hi + lo of
// two doubles, about 106 bits. The error-free transformations below are
// exact in binary64 with round to nearest and need no fused multiply-add:
// Knuth's two_sum, Dekker's fast_two_sum, Veltkamp's split and Dekker's
// product. The double-double operations carry the relative error bounds
// proved by Joldes, Muller and Popescu ("Tight and rigorous error bounds for
// basic building blocks of double-word arithmetic", ACM TOMS 44(2), 2017),
// quoted with u = 2^-53 beside each.
//
// Exactness assumes no overflow and no underflow in the intermediate
// products: the callers work on values scaled near 1.
#include <cstdint>
#include <cstring>
#include <limits>

#include "maths/double_evaluation.h"

namespace quelmar::maths {

struct DoubleDouble {
  double hi;
  double lo;
};

// The layout of a double's bits.
constexpr std::uint64_t kSignBit = 0x8000000000000000ull;
constexpr std::uint64_t kExponentBits = 0x7ff0000000000000ull;
constexpr std::uint64_t kMantissaBits = 0x000fffffffffffffull;
constexpr std::uint64_t kImplicitBit = 0x0010000000000000ull;
constexpr int kExponentBias = 1023;
constexpr double kInfinity = std::numeric_limits<double>::infinity();
// Adding and subtracting 1.5 * 2^52 rounds a double below 2^51 to an integer.
constexpr double kRoundingShift = 0x1.8p52;
// A double's bits with the last 27 cleared: its leading 26 bits, whose
// products with 26- or 27-bit numbers are exact.
constexpr std::uint64_t kLeading26Bits = ~((std::uint64_t{1} << 27) - 1);

// The bits of a double and back (memcpy is the portable type pun; compilers
// turn it into one register move).
inline std::uint64_t to_bits(double x) noexcept {
  std::uint64_t bits;
  std::memcpy(&bits, &x, sizeof bits);
  return bits;
}

inline double from_bits(std::uint64_t bits) noexcept {
  double x;
  std::memcpy(&x, &bits, sizeof x);
  return x;
}

// 2^k as a double for a normal power, -1022 <= k <= 1023.
inline double power_of_two(int k) noexcept {
  return from_bits(static_cast<std::uint64_t>(k + 1023) << 52);
}

// hi + lo == a + b exactly with hi = fl(a + b), provided |a| >= |b| or a == 0
// (Dekker).
constexpr DoubleDouble fast_two_sum(double a, double b) noexcept {
  double s = a + b;
  double z = s - a;
  return {s, b - z};
}

// hi + lo == a + b exactly with hi = fl(a + b), for any a and b (Knuth).
constexpr DoubleDouble two_sum(double a, double b) noexcept {
  double s = a + b;
  double b_part = s - a;
  double a_part = s - b_part;
  return {s, (a - a_part) + (b - b_part)};
}

// a == hi + lo with hi and lo of at most 26 significant bits each (Veltkamp),
// so that products of halves are exact. Needs |a| < 2^995 (a * 2^27 must not
// overflow).
constexpr DoubleDouble split(double a) noexcept {
  constexpr double kSplitter = 134217729.0;  // 2^27 + 1
  double c = kSplitter * a;
  double hi = c - (c - a);
  return {hi, a - hi};
}

// hi + lo == a * b exactly with hi = fl(a * b) (Dekker), for |a|, |b| < 2^995
// and a product whose low part does not underflow (exponents of a and b
// summing to at least -969).
constexpr DoubleDouble two_prod(double a, double b) noexcept {
  double p = a * b;
  DoubleDouble as = split(a);
  DoubleDouble bs = split(b);
  double err = ((as.hi * bs.hi - p) + as.hi * bs.lo + as.lo * bs.hi) + as.lo * bs.lo;
  return {p, err};
}

// a * a, as two_prod with one split.
constexpr DoubleDouble two_square(double a) noexcept {
  double p = a * a;
  DoubleDouble as = split(a);
  double err = ((as.hi * as.hi - p) + 2.0 * (as.hi * as.lo)) + as.lo * as.lo;
  return {p, err};
}

// a + b for double-doubles, normalized; relative error at most
// 3u^2 + 13u^3 < 2^-104 whatever the signs (JMP Algorithm 6).
constexpr DoubleDouble dd_add(DoubleDouble a, DoubleDouble b) noexcept {
  DoubleDouble s = two_sum(a.hi, b.hi);
  DoubleDouble t = two_sum(a.lo, b.lo);
  double c = s.lo + t.hi;
  DoubleDouble v = fast_two_sum(s.hi, c);
  double w = t.lo + v.lo;
  return fast_two_sum(v.hi, w);
}

// a * b for a double-double a and a double b, normalized; relative error at
// most 1.5u^2 + 4u^3 < 2^-105 (JMP Algorithm 7).
constexpr DoubleDouble dd_mul(DoubleDouble a, double b) noexcept {
  DoubleDouble c = two_prod(a.hi, b);
  double cl2 = a.lo * b;
  DoubleDouble t = fast_two_sum(c.hi, cl2);
  double tl = c.lo + t.lo;
  return fast_two_sum(t.hi, tl);
}

// a * b for double-doubles, normalized; relative error at most 7u^2 < 2^-102
// (JMP Algorithm 10, the product of the low parts left out).
constexpr DoubleDouble dd_mul(DoubleDouble a, DoubleDouble b) noexcept {
  DoubleDouble c = two_prod(a.hi, b.hi);
  double tl = a.hi * b.lo + a.lo * b.hi;
  double cl = c.lo + tl;
  return fast_two_sum(c.hi, cl);
}

constexpr DoubleDouble dd_neg(DoubleDouble a) noexcept { return {-a.hi, -a.lo}; }

}  // namespace quelmar::maths
