#pragma once

// Binary floating-point numbers of up to 4096 bits, for the exact paths of the
// correctly rounded functions: the rare arguments whose fast-path result lies
// too close to a rounding boundary are evaluated again with more bits, and
// again with more still (Ziv's loop), until the nearest double is decided.
//
// A Number lives on the stack: a sign, an exponent and a mantissa of 32-bit
// limbs, most significant first,
//
//     value = (-1)^negative * 0.limb[0] limb[1] ... limb[limbs-1] (base 2^32) * 2^exponent,
//
// normalized (the top bit of limb[0] set) unless the value is zero (every limb
// zero; the sign of a zero is kept but compares equal). Its precision, limbs,
// is chosen per call: every operation takes the precision of its result, from
// 1 to kMaxLimbs limbs, and works on operands of any precision. Only integer
// arithmetic is used (32-bit limbs, 64-bit intermediate products), so results
// are the same bits on every platform; nothing allocates and nothing is
// shared, so every function is thread-safe.
//
// Error of each operation. Let ulp(r) = 2^(r.exponent - 32 r.limbs), the
// weight of the last bit of a result r. add, sub, mul, mul_small, div_small
// and div return the exact result truncated toward zero to the requested
// precision: |r| <= |exact|, |exact - r| < ulp(r), which is below
// 2^(1 - 32 limbs) |exact|, and r is exact when the exact result fits.
// from_double, from_integer, scale2, negate, split_nearest_integer and
// compare are exact. The constants are truncations: |c - r| < ulp(r).
//
// Exponents must stay within +-2^30 (nothing checks); the callers' values
// stay within a few thousand.
#include <cstdint>

namespace quelmar::maths::mp {

inline constexpr int kLimbBits = 32;
inline constexpr int kMaxLimbs = 128;  // 4096 bits

struct Number {
    std::uint32_t limb[kMaxLimbs];  // only limb[0 .. limbs-1] are meaningful
    std::int32_t exponent;
    std::int32_t limbs;
    bool negative;
};

inline bool is_zero(const Number& a) noexcept { return a.limb[0] == 0; }

// The exponent of a's last bit: ulp(a) = 2^ulp_exponent(a).
inline int ulp_exponent(const Number& a) noexcept { return a.exponent - kLimbBits * a.limbs; }

// Zero (positive) with `limbs` limbs.
Number zero(int limbs) noexcept;

// x exactly, for a finite x (signed zeros and subnormals included), with at
// least two limbs whatever `limbs` asks (53 bits need two).
Number from_double(double x, int limbs) noexcept;

// n exactly, with at least two limbs.
Number from_integer(std::int64_t n, int limbs) noexcept;

// a + b and a - b, truncated toward zero to `limbs` limbs (an exact zero is
// positive).
Number add(const Number& a, const Number& b, int limbs) noexcept;
Number sub(const Number& a, const Number& b, int limbs) noexcept;

// a * b, truncated toward zero to `limbs` limbs.
Number mul(const Number& a, const Number& b, int limbs) noexcept;

// a * n and a / n for an integer 1 <= n < 2^32, truncated toward zero to
// `limbs` limbs. (div_small by 0 returns a unchanged.)
Number mul_small(const Number& a, std::uint32_t n, int limbs) noexcept;
Number div_small(const Number& a, std::uint32_t n, int limbs) noexcept;

// a / b for b != 0, truncated toward zero to `limbs` limbs. (Division by
// zero returns a unchanged.)
Number div(const Number& a, const Number& b, int limbs) noexcept;

// a * 2^k, exactly, and -a, with a's precision.
Number scale2(const Number& a, int k) noexcept;
Number negate(const Number& a) noexcept;

// -1, 0 or 1 as a < b, a == b or a > b; compare_magnitude compares |a| and
// |b|. Exact whatever the precisions.
int compare(const Number& a, const Number& b) noexcept;
int compare_magnitude(const Number& a, const Number& b) noexcept;

// a = k + f with k the integer nearest to a (halves away from zero) and
// |f| <= 1/2; returns f exactly (with a's precision) and sets integer_bits to
// k modulo 2^64 (two's complement for a negative k), which is k itself when
// |a| < 2^63. The low bits are what a reduction modulo a period needs.
Number split_nearest_integer(const Number& a, std::uint64_t& integer_bits) noexcept;

// The double nearest to a itself (ties to even), on the normal and the
// subnormal grid; +-infinity past the largest double; a zero keeps its sign.
double nearest_double(const Number& a) noexcept;

// The rounding test of Ziv's loop. `a` approximates an exact value v known to
// satisfy |v - a| <= error * 2^error_exponent. When every value in that
// interval has the same nearest double, sets result to it and returns true;
// otherwise (a rounding boundary, a midpoint between neighbouring doubles or
// zero, lies within the interval) returns false and leaves result alone, and
// the caller computes a again with more bits. error == 0 declares a exact.
// (A bound finer than ulp(a) is widened to ulp(a): a is no better known.)
bool round_to_double(const Number& a, std::uint64_t error, int error_exponent, double& result) noexcept;

// The same with the error counted in units of a's last bit:
// |v - a| <= error_ulps * ulp(a).
inline bool round_to_double(const Number& a, std::uint64_t error_ulps, double& result) noexcept {
    return round_to_double(a, error_ulps, ulp_exponent(a), result);
}

// The constants truncated to `limbs` limbs (|c - r| < ulp(r), r <= c), up to
// kMaxLimbs.
Number pi(int limbs) noexcept;
Number ln2(int limbs) noexcept;
Number ln10(int limbs) noexcept;

// Bits first_bit, first_bit + 1, ... (first_bit >= 1) of the binary expansion
// of 2/pi = 0.b1 b2 b3 ..., as the number 0.b[first_bit] b[first_bit+1] ...
// truncated to `limbs` limbs: 2^(first_bit - 1) * 2/pi minus its integer part
// (the bits before first_bit), truncated. The reduction of a huge argument
// x = m 2^e needs 2/pi only from about bit e on, since the bits before it
// multiply x into whole periods. Exact for first_bit + 32 limbs <=
// kTwoOverPiBits + 1 (bits past the table are read as zeros).
Number two_over_pi_bits(int first_bit, int limbs) noexcept;
inline constexpr int kTwoOverPiBits = 176 * kLimbBits;

}  // namespace quelmar::maths::mp
