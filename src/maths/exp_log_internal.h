#pragma once

// The evaluation cores shared by exp, log, log10 and pow: each returns an
// approximation with a proved bound on its error, and the callers decide
// the rounding with round_scaled (rounding.h). The fast paths are inline
// here so that exp, log and pow each compile into one piece.
#include <cmath>
#include <cstdint>

#include "maths/double_double.h"
#include "maths/tables.h"

namespace quelmar::maths::detail {

// exp(x) overflows from ln(2^1024 - 2^970) = 709.7827128933840 on and
// rounds to zero below ln(2^-1075) = -745.1332191019412; past these bounds
// (with the argument's error, in pow, far below their margins) the answer is
// known without evaluating anything.
constexpr double kOverflowBound = 710.0;
constexpr double kUnderflowBound = -746.0;

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

// The nearest integer to t * 128/ln(2). |t| <= 746 gives |n| < 2^18, so that
// n * kLn2Scaled.hi (35 significant bits) is exact, and t - n hi too: the
// difference, below 2^-8 in magnitude, is a multiple of the smaller of
// ulp(t) and 2^-42 (hi's last bit) that needs at most 53 bits (for |t| <
// 2^-8.5, n is 0 or +-1 and ulp(t) >= 2^-61; larger t have a coarser grid).
// k = floor(n / 128) by a shift of n + 2^20, which is positive.
constexpr int kExpIndexBias = 1 << 20;
inline ExpReduction exp_reduce(double t) noexcept {
  double n = (t * tables::kInvLn2Scaled + kRoundingShift) - kRoundingShift;
  int biased = static_cast<int>(n) + kExpIndexBias;
  return {n, (biased >> kExpTableBits) - (kExpIndexBias >> kExpTableBits), biased & kExpTableMask};
}

// exp(t.hi + t.lo) for |t.hi| <= 746 and |t.lo| <= ulp(t.hi): 2^exponent *
// value with value in [0.7, 1.5), within kExpFastError relative of the
// exponential of t.hi + t.lo taken as exact. value.lo is not normalized:
// |value.lo| < 2^-17.46 value.hi. kExpFastWidened is the bound as
// round_normal takes it: 2^-67 (1 + 2^-50) + 2^-51 2^-17.46 < 1.375 2^-67.
constexpr double kExpFastError = 0x1p-67;
constexpr double kExpFastWidened = 0x1.6p-67;

inline ScaledDoubleDouble exp_fast(DoubleDouble t) noexcept {
  using tables::kInvFactorial;
  ExpReduction red = exp_reduce(t.hi);
  // r = r1 + rl: r1 exact, |r1| < 2^-8.51, rl = t.lo - n mid with
  // |rl| < 2^-25.8, rounded (2^-79) and n lo left out (< 2^18 2^-98.4 =
  // 2^-80.4): the argument is within 2^-78.4 absolute.
  double r1 = t.hi - red.n * tables::kLn2Scaled.hi;
  double rl = t.lo - red.n * tables::kLn2Scaled.mid;
  // exp(r) - 1 = r1 + q + Rl + (r1 + q) Rl with q = exp(r1) - 1 - r1 and
  // Rl = exp(rl) - 1 = rl + rl^2/2 (+ rl^3/6 < 2^-80). q = r1^2 w(r1), w the
  // Taylor series from 1/2 on, degree 4 (exp's of degree 6), summed so that
  // only its last addition rounds at the level of 1/2. Absolute errors of
  // e_lo = q + Rl + (r1 + q) Rl, in units of 2^-72: truncation |r|^7/7!
  // e^|r| 1.07; r1^2 rounded (< 2^-17.03, half an ulp 2^-71, times w <=
  // 0.5005) 1.0; w rounded (2^-54 at most, its coefficients' and inner
  // terms' errors below 2^-62, times r1^2) 1.9; the product q 1.0; Rl and
  // the cross term 0.02; the last addition (e_lo < 2^-17.99) 2.0. Together
  // 7.0.
  double r2 = r1 * r1;
  double w = kInvFactorial[2].hi +
             (kInvFactorial[3].hi * r1 +
              r2 * ((kInvFactorial[4].hi + kInvFactorial[5].hi * r1) + kInvFactorial[6].hi * r2));
  double q = r2 * w;
  double exp_rl = rl + 0.5 * (rl * rl);
  double e_lo = q + (exp_rl + (r1 + q) * exp_rl);
  // T (1 + r1 + e_lo) with T = 2^(j/128) = Th + Tl, Th of 27 bits: Th r1 =
  // Th r1h (exact, r1h of 26 bits) + Th r1l (< 2^-34, rounded: 2^-87),
  // Tl (1 + r1 + e_lo) (Tl < 2^-26.5, its own error 2^-80, products
  // rounded below 2^-88), the small terms summed first (errors near
  // 2^-80), Th e_lo (< 2^-17.4: 2^-71 = 2 units) added last (2 units).
  // With the 7 units above, 11 units over a result of at least 0.997 Th:
  // 2^-68.5 relative, bounded by kExpFastError = 2^-67.
  const tables::Pair& tab = tables::kExp2Split[red.j];
  DoubleDouble r1s = split(r1);
  double p_hi = tab.hi * r1s.hi;
  double p_lo = tab.hi * r1s.lo;
  DoubleDouble s = fast_two_sum(tab.hi, p_hi);
  double small = s.lo + (tab.lo + (p_lo + tab.lo * (r1 + e_lo)));
  double lo = small + tab.hi * e_lo;
  return {{s.hi, lo}, red.k};
}

// A quicker first try at exp(t.hi + t.lo), same domain, with a finer table
// (256 entries: t = (256 k + j) ln(2)/256 + r) and a shorter series:
// 2^exponent * value within kExpQuickError relative (value.lo not
// normalized, |value.lo| < 2^-19.4 value.hi); about one argument in 200 is
// left undecided for exp_fast.
//
// exp_quick_evaluate's error, for |r| <= 2^-9.5 given within d of the
// reduced argument (u = 2^-53; T = 2^(j/256) = Th + Tl, Th in [1, 2), |Tl|
// <= u Th): Th r rounded, u |r| Th <= 2^-62.5 Th, and Tl r left out, as
// much; the series' truncation |r|^6/6! e^|r| <= 2^-66.49 and its roundings
// (on values below 2^-19, 2^-71): in all d + 1.4606 2^-62 Th, over a result
// of at least 0.99862 Th. exp_quick's own reduction gives |r| <= ln(2)/512
// (1 + 2^-40) < 2^-9.52 and d <= 2^-62.99 (r rounded once below 2^-9, half an
// ulp; n mid and its difference with t.lo rounded, 2^-78.7 each; n lo left
// out, 2^-79.3): 1.9634 2^-62 relative, bounded by kExpQuickError.
// kExpQuickWidened adds the 2^-51 |value.lo| < 2^-70.4 value.hi and the
// factor 1 + 2^-50 that round_normal asks.
constexpr double kExpQuickError = 0x1.f8p-62;
constexpr double kExpQuickWidened = 0x1.fap-62;
constexpr int kExpQuickBits = 8;
constexpr int kExpQuickMask = (1 << kExpQuickBits) - 1;
constexpr int kExpQuickShift = 52 - kExpQuickBits;

// exp_quick's result: value times 2^k, with k given as k 2^52 modulo 2^64,
// what adding to a double's bit pattern multiplies it by 2^k.
struct QuickExp {
  DoubleDouble value;
  std::uint64_t scale_bits;
};

// exp_quick before its last normalization: T (1 + r + q) as lead + product +
// low, lead = Th from the table, product = Th r rounded (below 2^-8.5 lead),
// low = Tl + Th q (below 2^-19.9 lead).
struct QuickExpParts {
  double lead;
  double product;
  double low;
  std::uint64_t scale_bits;
};

// 2^k 2^(j/256) exp(r) from r and the bit pattern of 1.5 2^52 + 256 k + j
// (the sum that rounded t 256/ln 2 to that integer): its low 8 bits are j,
// and the rest shifted by 44 is 256 k 2^44 = k 2^52 modulo 2^64 (1.5 2^52's
// own bits vanish in the shift).
inline QuickExpParts exp_quick_evaluate(double r, std::uint64_t shifted_bits) noexcept {
  using tables::kInvFactorial;
  double r2 = r * r;
  double w = kInvFactorial[2].hi + (kInvFactorial[3].hi * r + r2 * (kInvFactorial[4].hi + kInvFactorial[5].hi * r));
  double q = r2 * w;
  // T (1 + r + q) = Th + Th r + (Tl + Th q), Tl r left out.
  const tables::Pair& tab = tables::kExp2Quick[shifted_bits & kExpQuickMask];
  return {tab.hi, tab.hi * r, tab.lo + tab.hi * q,
          (shifted_bits & ~static_cast<std::uint64_t>(kExpQuickMask)) << kExpQuickShift};
}

inline QuickExpParts exp_quick_parts(DoubleDouble t) noexcept {
  // n = round(t 256/ln 2), below 2^18.1 in magnitude (n hi is exact with hi
  // of 34 bits; t - n hi exact as in exp_reduce).
  double shifted = t.hi * tables::kInvLn2Quick + kRoundingShift;
  double n = shifted - kRoundingShift;
  double r = (t.hi - n * tables::kLn2Quick.hi) - (n * tables::kLn2Quick.mid - t.lo);
  return exp_quick_evaluate(r, to_bits(shifted));
}

inline QuickExp exp_quick(DoubleDouble t) noexcept {
  QuickExpParts parts = exp_quick_parts(t);
  DoubleDouble s = fast_two_sum(parts.lead, parts.product);
  return {{s.hi, s.lo + parts.low}, parts.scale_bits};
}

// exp for the arguments exp_quick leaves (exp.cpp).
double exp_other(double x) noexcept;

// log and log10 for the arguments their quick tier leaves (log_special.cpp).
double log_other(double x) noexcept;
double log10_other(double x) noexcept;

// The same within kExpAccurateError (exp.cpp).
constexpr double kExpAccurateError = 0x1p-100;
ScaledDoubleDouble exp_accurate(DoubleDouble t) noexcept;

// ---------------------------------------------------------------------------
// log's quick first try, shared with log10 and pow: ln(x) = e ln(2) - ln(r)
// + ln(1 + z), z = m r - 1, with x = 2^e m, m within 2^-9 of a multiple of
// 1/256 (so m is in [1 - 2^-10, 2 - 2^-10)), r from a table of 256
// (tables::kQuickLog). r is a multiple of 2^-15 with |z| <= 2^-8.99; r = 1
// on the interval around 1, where ln(x) = ln(1 + z). Every bound quoted from
// the table was checked when it was generated.
//
// z is carried exactly as zh + zl, and so is most of the sum, with no
// double-double product:
// - m_hi, m rounded to a multiple of 2^-19 (2^-20 below 1), and m_lo = m -
//   m_hi, |m_lo| <= 2^-20: zh = m_hi r - 1 and zl = m_lo r are exact (35 and
//   48 bits, and m_hi r is within a factor 2 of 1). |zh| < 2^-8 on the grid
//   of 2^-34, at most 26 bits, so zh^2 is exact; |zl| <= 2^-20.
// - T = e hi(ln 2) + hi(-ln r), hi(ln 2) of 42 bits and hi(-ln r) on the
//   grid of 2^-42: exact for |e| < 2^11, and so is S = T + zh (grid 2^-42,
//   below 2^10).
// - v = zl - zh^2/2 is exact (grid 2^-69, |v| < 2^-16.8), and so is
//   fast_two_sum(S, v): with |S + v| < 2^-16 the sum is exact, and from
//   there |S| > |v|.
// Then ln(1 + z) = zh + v - zl (zh + zl/2) + z^3 Q(z), Q(z) = 1/3 - z/4 +
// z^2/5 - z^3/6 + z^4/7 (to degree 7 in z), summed in double with a =
// fl(zh + zl) for z.
//
// Absolute errors (u = 2^-53, |z| <= Z = 2^-8.99, Z^3/3 < 2^-28.55):
// - the tail a^3 q: a's rounding moves z^3 Q by 3u of itself (its
//   derivative is z^2/(1 + z)); a^2 and a^3 rounded (2u); q within 3.02u
//   relative (1/3 rounded, and the two additions at the level of 1/3, u/3
//   each over Q >= 0.332; the higher terms' errors below 2^-17 u); the
//   product (u): 9.03u Z^3/3 (1 + Z) < 2^-78.36;
// - zl (zh + zl/2), below 2^-20 2^-8.98, rounded twice: 2^-80.97;
// - e lo(ln 2) + lo(-ln r): two roundings below 2^-87 each (|e| <= 1100:
//   below 2^-33.9), ln 2's and the table's remainders 2^-91.9 and 2^-97:
//   2^-85.9;
// - the three sums of the low part, each below 2^-27.7: 3 2^-81 (s.lo is
//   below 2^-43);
// - the series left out, |z|^8/8 (1 + Z) < 2^-74.95.
// In all, below kQuickLogAbsoluteError = 2^-74.74. The low part is below
// 2^-27.6 in magnitude (with |s.lo| <= 2^-43).
//
// Relative error, for log's rounding test: outside the interval
// around 1, |ln x| >= 2^-10 and z^8 <= 2^-62.95 |ln x|, so the error is at
// most 2^-65.95 + 2^-77.52/2^-10 |ln x| < 2^-65.7 |ln x|. Around 1, e = 0,
// r = 1, the table terms vanish and every error is relative to z: with
// |ln(1 + z)| >= |z| (1 - |z|/2), the series left out 2^-66 (|z|^7/8 with
// |z| <= 2^-9); zh = 0 when |z| is below the grid's half, and otherwise
// |zh| <= 2|z|, so zl (zh + zl/2)'s roundings and the low part's sums are
// below 2^-70 each; the tail's 2^-70.4: in all 2^-65.8. kQuickLogRelative
// Error = 2^-65.5 covers both and round_normal's widening, 2^-51 |lo|
// (|lo| <= 2^-27.6 <= 2^-17.6 |ln x| outside, 2^-18 |ln x| around 1).
constexpr double kQuickLogAbsoluteError = 0x1.34p-75;  // 2^-74.74 rounded up
constexpr double kQuickLogRelativeError = 0x1.6a09e667f3bcdp-66;  // 2^-65.5

constexpr int kQuickLogIndexShift = 44;                                // 8 leading mantissa bits
constexpr std::uint64_t kQuickLogHalfInterval = std::uint64_t{1} << 43;  // centres the intervals
constexpr std::uint64_t kQuickLogIndexMask = 255;
constexpr std::uint64_t kQuickLogSplitHalf = std::uint64_t{1} << 32;     // rounds m to 2^-19
constexpr std::uint64_t kQuickLogSplitMask = ~((std::uint64_t{1} << 33) - 1);

// ln(2^exponent_offset x) = hi + lo within the bounds above, for the bit
// pattern of a positive normal x and exponent_offset = 0 or -64 (a
// subnormal scaled by 2^64). lo is not normalized: |lo| <= 2^-27.6.
inline DoubleDouble log_quick(std::uint64_t bits, std::int64_t exponent_offset) noexcept {
  using tables::kInverse;
  using tables::kLn2;
  // The interval's index and e from the bits of x moved up by half an
  // interval; m = x / 2^e by subtracting e from the exponent field.
  std::uint64_t centred = bits + kQuickLogHalfInterval;
  std::int64_t e = static_cast<std::int64_t>(centred >> 52) - kExponentBias;
  const tables::QuickLogEntry& entry = tables::kQuickLog[(centred >> kQuickLogIndexShift) & kQuickLogIndexMask];
  std::uint64_t m_bits = bits - (static_cast<std::uint64_t>(e) << 52);
  double m = from_bits(m_bits);
  double m_hi = from_bits((m_bits + kQuickLogSplitHalf) & kQuickLogSplitMask);
  double m_lo = m - m_hi;
  double zh = m_hi * entry.r - 1.0;
  double zl = m_lo * entry.r;
  double ed = static_cast<double>(e + exponent_offset);
  double s_exact = (ed * kLn2.hi + entry.neg_log_hi) + zh;
  double v = zl - 0.5 * (zh * zh);
  DoubleDouble s = fast_two_sum(s_exact, v);
  double a = zh + zl;
  double a2 = a * a;
  double q = (kInverse[3].hi - kInverse[4].hi * a) + a2 * ((kInverse[5].hi - kInverse[6].hi * a) + a2 * kInverse[7].hi);
  double tail = (a2 * a) * q;
  double cross = zl * (zh + 0.5 * zl);
  // The tail, the longest chain of operations, is added last.
  double lo = ((s.lo + (ed * kLn2.mid + entry.neg_log_lo)) - cross) + tail;
  return {s.hi, lo};
}

// log10's quick tier: the quick tier's ln(x) times 1/ln(10) = c_hi + c_lo,
// c_hi of 27 bits: with ln's hi cut into H, its leading 26 bits, and the
// rest, H c_hi is exact, and the rest of the product is below 2^-17.5 of it. Relative
// errors beyond ln's 2^-65.7 (kQuickLogRelativeError's analysis before its
// widening): the rest of ln (below 2^-17.5 |ln x|) rounded, times c_hi
// rounded, and the final sum rounded, 2^-70.5 each; (hi + lo) c_lo
// (c_lo < 2^-28.5 c) below 2^-80; with round_normal's widening (2^-51 of
// the low part) in all below 2^-65.4: kQuickLog10Error.
constexpr double kQuickLog10Error = 0x1p-65;

inline DoubleDouble times_inv_ln10(DoubleDouble ln) noexcept {
  double high = from_bits(to_bits(ln.hi) & kLeading26Bits);
  double product = high * tables::kInvLn10Split.hi;
  double rest = ((ln.hi - high) + ln.lo) * tables::kInvLn10Split.hi + (ln.hi + ln.lo) * tables::kInvLn10Split.lo;
  return {product, rest};
}

// pow's quick tier: t = y ln(x) as lead + rest (not normalized), for the
// bit pattern of a positive normal x and any y, and fl(y hi) beside.
//
// ln(x) = hi + lo within kQuickLogAbsoluteError, 2^-74.74 (|lo| <= 2^-27.6,
// and below 2^-17.6 |hi|). hi and y are each cut into their leading 26 bits,
// h and y_hi, and the rest (exact; hi - h below 2^-25 |hi|, y_lo = y - y_hi
// below 2^-25 |y|, of 27 bits). y_hi h and y_lo h are exact; (hi - h) + lo
// rounded, and its product with y rounded, 2^-78 |y hi| + 2^-80.6 |y| each;
// their sum with y_lo h 2^-77 |y hi| + 2^-80.6 |y|. So lead + rest is within
// |y| 2^-74.67 + |t| 2^-76.2 of y ln(x): kPowQuickArgumentErrorPerY |y| +
// kPowQuickArgumentErrorPerT |t|; |rest| <= 2^-24 |t| + 2^-27.6 |y| (below
// 2^-17 |lead|), and fl(y hi) is within 2^-27.6 |y| + 2^-53 |t| of t.
// (Infinite or huge y make these infinite or NaN; products that underflow
// lose less than 2^-1000, far below the bounds.)
constexpr double kPowQuickArgumentErrorPerY = 0x1.48p-75;  // 2^-74.67 rounded up
constexpr double kPowQuickArgumentErrorPerT = 0x1p-76;

struct PowQuickArgument {
  double lead;
  double rest;
  double approximate;  // fl(y hi)
};

inline PowQuickArgument pow_quick_argument(std::uint64_t x_bits, double y) noexcept {
  DoubleDouble ln = log_quick(x_bits, 0);
  double high = from_bits(to_bits(ln.hi) & kLeading26Bits);
  double y_hi = from_bits(to_bits(y) & kLeading26Bits);
  double rest = (y - y_hi) * high + y * ((ln.hi - high) + ln.lo);
  return {y_hi * high, rest, y * ln.hi};
}

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

constexpr int kLogIndexShift = 45;                           // 7 leading mantissa bits
constexpr std::uint64_t kLogHalvedFrom = 53;                  // from 1 + 53/128 on, m is halved
constexpr std::uint64_t kLogLowPart = (std::uint64_t{1} << 27) - 1;  // m's 27-bit low part
constexpr int kLogSubnormalShift = 52;

// For a positive finite x (subnormals included).
inline LogReduction log_reduce(double x) noexcept {
  std::uint64_t bits = to_bits(x);
  int e = static_cast<int>(bits >> 52);
  if (e == 0) {  // subnormal: scaled into the normal range, exactly
    bits = to_bits(x * 0x1p52);
    e = static_cast<int>(bits >> 52) - kLogSubnormalShift;
  }
  e -= kExponentBias;
  std::uint64_t mantissa = bits & kMantissaBits;
  std::uint64_t index = mantissa >> kLogIndexShift;
  std::uint64_t halve = index >= kLogHalvedFrom ? 1 : 0;
  e += static_cast<int>(halve);
  double m = from_bits(mantissa | (static_cast<std::uint64_t>(kExponentBias - halve) << 52));
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
// kLogTableError |e ln 2 - ln r| (the last zero next to 1, where e = 0 and
// r = 1).
// - The tail a^3 poly(a) (at most 0.3343 |a|^3) carries 4.33 roundings of
//   2^-53 (a^2, a^3, 1/3, poly's last sum with its inner terms, the
//   product): 2^-52.47 |a|^3; lo's last rounding 2^-54.58 |a|^3; the
//   truncation |a|^11/11 (1 + |a|) < 2^-59.4 |a|^3 for |a| < 2^-7; b a^3
//   left out 2^-60 |a|^3. Together 2^-52.15 |a|^3: kLogCubicError = 2^-51.5.
// - e mid (below |e| 2^-44.05) rounded and three sums involving it, e lo
//   left out, the table's own error: below 2^-84.9 |e| + 2^-106, against
//   |e ln 2 - ln r| >= 0.34 |e| when e != 0 and >= 0.0058 when e = 0 and
//   r != 1: kLogTableError = 2^-82.
// - The other sums of small terms: 2^-100 relative; kLogRelativeError = 2^-99
//   leaves room for the 2^-51 |lo| < 2^-104 |ln x| that round_normal asks.
// Relative to ln(x): next to 1, ln(x) ~ a with |a| < 2^-7, 2^-65.5; elsewhere
// |ln x| >= 2^-8.01 and |a| < 2^-8.01, below 2^-75.
constexpr double kLogCubicError = 0x1.6a09e667f3bcdp-52;  // 2^-51.5
constexpr double kLogTableError = 0x1p-82;
constexpr double kLogRelativeError = 0x1p-99;

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
  // Branch-free: a's and ln x's signs are coin tosses.
  double error = kLogCubicError * (a2 * std::fabs(a)) + kLogRelativeError * std::fabs(value.hi) +
                 kLogTableError * std::fabs(s1.hi);
  return {value, error};
}

// The same within kLogAccurateError relative (log.cpp).
constexpr double kLogAccurateError = 0x1p-99;
DoubleDouble log_accurate(double x) noexcept;

// ---------------------------------------------------------------------------
// pow's paths (pow.cpp): |x|^y for a positive base and an exponent of
// moderate size, the arguments its quick path leaves to exp_fast and
// beyond, and the accurate path with the exact results; and every argument
// outside the common case (pow_special.cpp: special values, negative or
// subnormal bases, tiny or huge exponents).
double pow_positive(double ax, double y) noexcept;
double pow_from_exp_fast(double ax, double y, DoubleDouble t, double t_error, std::uint64_t sign) noexcept;
double pow_undecided(double ax, double y) noexcept;
double pow_other(double x, double y) noexcept;

// ---------------------------------------------------------------------------
// The correctly rounded results for the arguments that both Ziv tests leave
// undecided, in multiprecision arithmetic (exp_log_exact.cpp). pow_exact
// takes |x| and returns |x|^y.
double exp_exact(double x) noexcept;
double log_exact(double x) noexcept;
double log10_exact(double x) noexcept;
double pow_exact(double ax, double y) noexcept;

}  // namespace quelmar::maths::detail
