#!/usr/bin/python3
"""Writes src/maths/tables.h: the tables and constants of exp, log, log10 and pow.

Every value is computed with Python's decimal module at 120 significant
digits (about 400 bits; decimal's exp and ln are correctly rounded at the
working precision) and split exactly, with fractions, into a sum of doubles
each the nearest double to what remains. So a (hi, lo) pair is within
2^-107 |v| of v and a (hi, mid, lo) triple within 2^-160 |v|.

- exp: 2^(j/128) for j = 0 .. 127 as (hi, lo), and again as (hi, lo) with
  hi of 27 significant bits (so that hi times a 26-bit half of a double is
  exact, lo then within 2^-80); 2^(j/256) for j = 0 .. 255 as (hi, lo)
  for a quicker first try, with ln(2)/256 as hi (34 significant bits),
  mid and lo and 256/ln(2) rounded; ln(2)/128 as hi (35
  significant bits, so that its product with any integer below 2^18 is
  exact), mid and lo; 128/ln(2) rounded.
- log: for the 128 intervals of the leading 7 bits of the mantissa, the
  reciprocal r of the interval's centre rounded to 20 fractional bits (so
  that r times a 27-bit half of a mantissa is exact) and -ln(r) as a triple.
  Intervals from 53 on, where the mantissa m is at least 1 + 53/128, are
  used for m / 2 (so that ln(m) stays within +-0.35 and no cancellation with
  the exponent's multiple of ln 2 can occur): their r is the reciprocal of
  half the centre. The two intervals next to 1 ([1, 1 + 2^-7) and, halved,
  [1 - 2^-8, 1)) have r = 1, so that log(x) near 1 is a series in x - 1
  computed exactly. ln(2) as hi (42 significant bits: times an exponent
  below 2^11 it is exact), mid and lo; 1/ln(10) as (hi, lo), and again as
  a 27-bit hi and the rest.
- log's quick first try: 256 intervals of the mantissa centred on the
  multiples of 1/256 (the first, [1 - 2^-10, 1 + 2^-9), around 1), each with
  r a multiple of 2^-15 chosen to make |m r - 1| smallest over the interval
  (r = 1 for the first) and -ln(r) as hi, a multiple of 2^-42, and lo. The
  properties the evaluation relies on are checked here, and the bounds it
  uses are printed into the header.
- series: 1/k! as (hi, lo) for the exponential, 1/k as (hi, lo) for the
  logarithm.

Run from the top of the source tree:
    /usr/bin/python3 tools/make_maths_tables.py > src/maths/tables.h
"""
import decimal
import math
from decimal import Decimal
from fractions import Fraction

decimal.getcontext().prec = 120

EXP_BITS = 7          # 2^EXP_BITS entries of 2^(j / 2^EXP_BITS)
EXP_SPLIT_BITS = 27   # significant bits of the split table's hi
QUICK_BITS = 8        # 2^QUICK_BITS entries for exp's quick first try
LN2_QUICK_BITS = 34   # significant bits of ln(2)/256, hi part
LOG_BITS = 7          # leading mantissa bits indexing the log table
HALVED_FROM = 53      # intervals from here on hold m / 2
RECIPROCAL_BITS = 20  # fractional bits of the log table's reciprocals
LN2_SCALED_BITS = 35  # significant bits of ln(2)/128, hi part
LN2_BITS = 42         # significant bits of ln(2), hi part
QUICK_LOG_BITS = 8    # 2^QUICK_LOG_BITS intervals for log's quick first try
QUICK_R_BITS = 15     # its reciprocals are multiples of 2^-QUICK_R_BITS
QUICK_SPLIT_BITS = 19  # the mantissa's rounded part, a multiple of 2^-19
QUICK_LOG_GRID = 42   # -ln(r)'s hi part, a multiple of 2^-42
INV_LN10_SPLIT_BITS = 27  # significant bits of 1/ln(10)'s split hi part
EXP_SERIES = 16       # 1/k! for k = 0 .. EXP_SERIES - 1
LOG_SERIES = 24       # 1/k for k = 1 .. LOG_SERIES - 1


def frac(d):
    """The exact value of a Decimal as a Fraction."""
    return Fraction(d)


def nearest_double(v):
    """The double nearest to the Fraction v (int / int is correctly rounded)."""
    return v.numerator / v.denominator


def parts(v, count):
    """v as `count` doubles, each the nearest double to what is left."""
    out = []
    for _ in range(count):
        d = nearest_double(v)
        out.append(d)
        v -= Fraction(d)
    return out


def round_bits(v, bits):
    """v rounded to `bits` significant bits, as a Fraction."""
    exponent = 0
    a = abs(v)
    while a >= 1:
        a /= 2
        exponent += 1
    while a < Fraction(1, 2):
        a *= 2
        exponent -= 1
    scale = Fraction(2) ** (bits - exponent)
    return Fraction(round(v * scale)) / scale


def hexd(d):
    return float.hex(d)


def ln(v):
    """ln of a Fraction, as a Fraction (decimal's ln is correctly rounded)."""
    return frac((Decimal(v.numerator) / Decimal(v.denominator)).ln())


def exp2_fraction(j, n):
    """2^(j/n) as a Fraction (decimal's exp and ln are correctly rounded)."""
    return frac((Decimal(j) / n * Decimal(2).ln()).exp())


def emit_exp2_pairs(emit, name, n):
    """The table 2^(j/n), j = 0 .. n - 1, as (hi, lo) pairs."""
    emit("inline constexpr Pair %s[%d] = {" % (name, n))
    for j in range(n):
        hi, lo = parts(exp2_fraction(j, n), 2)
        emit("    {%s, %s}," % (hexd(hi), hexd(lo)))
    emit("};")


def emit_ln2_over(emit, ln2, n, bits, name, inverse_name):
    """ln(2)/n as hi (of `bits` significant bits) + mid + lo, and n/ln(2) rounded."""
    scaled = ln2 / n
    hi = round_bits(scaled, bits)
    mid, lo = parts(scaled - hi, 2)
    emit("// ln(2)/%d = hi + mid + lo, hi with %d significant bits." % (n, bits))
    emit("inline constexpr Triple %s = {%s, %s, %s};" % (name, hexd(nearest_double(hi)), hexd(mid), hexd(lo)))
    emit("// %d/ln(2), rounded." % n)
    emit("inline constexpr double %s = %s;" % (inverse_name, hexd(nearest_double(n / ln2))))


def log2_of(v):
    """log2 of a positive Fraction, as a float (for the printed bounds)."""
    return math.log2(v.numerator) - math.log2(v.denominator)


def quick_log_interval(i, n):
    """The mantissas of interval i of log's quick table, [low, high)."""
    if i == 0:
        return 1 - Fraction(1, 2 * 2 * n), 1 + Fraction(1, 2 * n)
    return 1 + Fraction(2 * i - 1, 2 * n), 1 + Fraction(2 * i + 1, 2 * n)


def emit_quick_log(emit, ln2_hi):
    """log's quick table, its checks and the bounds its evaluation uses."""
    n = 1 << QUICK_LOG_BITS
    grid = Fraction(1, 1 << QUICK_R_BITS)
    split_half = Fraction(1, 1 << (QUICK_SPLIT_BITS + 1))  # |m - m_hi| at most
    widest = Fraction(0)
    widest_zh = Fraction(0)
    smallest_log = None  # min |ln x| over the intervals other than the first
    worst_truncation = Fraction(0)  # max of z^8 / |ln x| over them
    entries = []
    for i in range(n):
        low, high = quick_log_interval(i, n)
        if i == 0:
            r = Fraction(1)
        else:
            centre = round(2 / ((low + high) * grid))
            r = min((Fraction(c) * grid for c in (centre - 1, centre, centre + 1)),
                    key=lambda c: max(abs(low * c - 1), abs(high * c - 1)))
        assert (r / grid).denominator == 1 and r / grid <= 1 << QUICK_R_BITS
        z = max(abs(low * r - 1), abs(high * r - 1))
        widest = max(widest, z)
        # zh = m_hi r - 1 with m_hi within split_half of m.
        widest_zh = max(widest_zh, abs((low - split_half) * r - 1), abs((high + split_half) * r - 1))
        if i > 0:
            # |e ln 2 + ln m| grows with |e| beyond these (ln2_hi is 2^-43
            # off, far below what is printed).
            least = min(abs(e * ln2_hi + ln(m)) for e in (-1, 0, 1) for m in (low, high))
            smallest_log = least if smallest_log is None else min(smallest_log, least)
            worst_truncation = max(worst_truncation, z ** 8 / least)
        if r == 1:
            hi, lo = 0.0, 0.0
        else:
            value = -ln(r)
            hi_fraction = Fraction(round(value * (1 << QUICK_LOG_GRID)), 1 << QUICK_LOG_GRID)
            assert abs(hi_fraction) < 1
            hi = nearest_double(hi_fraction)
            assert Fraction(hi) == hi_fraction
            lo = nearest_double(value - hi_fraction)
        entries.append((nearest_double(r), hi, lo))
    assert widest_zh < Fraction(1, 256)  # zh has at most 26 significant bits
    emit("// log's quick first try: interval i holds the mantissas m in")
    emit("// [1 + (2i - 1)/%d, 1 + (2i + 1)/%d), the first [1 - 2^-10, 1 + 2^-9); r is" % (2 * n, 2 * n))
    emit("// a multiple of 2^-%d, and -ln(r) = hi + lo with hi a multiple of 2^-%d." %
         (QUICK_R_BITS, QUICK_LOG_GRID))
    emit("struct QuickLogEntry {")
    emit("  double r;")
    emit("  double neg_log_hi;")
    emit("  double neg_log_lo;")
    emit("};")
    emit("inline constexpr QuickLogEntry kQuickLog[%d] = {" % n)
    for r, hi, lo in entries:
        emit("    {%s, %s, %s}," % (hexd(r), hexd(hi), hexd(lo)))
    emit("};")
    emit("// Checked when generated: |m r - 1| <= 2^%.4f; |m_hi r - 1| < 2^-8 for m_hi" % log2_of(widest))
    emit("// within 2^-%d of m; outside the first interval, |ln x| >= 2^%.4f and" %
         (QUICK_SPLIT_BITS + 1, log2_of(smallest_log)))
    emit("// (m r - 1)^8 <= 2^%.4f |ln x|." % log2_of(worst_truncation))


def main():
    ln2 = frac(Decimal(2).ln())
    ln10 = frac(Decimal(10).ln())
    lines = []
    emit = lines.append
    emit("// Generated by tools/make_maths_tables.py; do not edit by hand. Remake it with")
    emit("//     /usr/bin/python3 tools/make_maths_tables.py > src/maths/tables.h")
    emit("// (Python decimal at 120 digits, split into nearest doubles with fractions).")
    emit("#pragma once")
    emit("")
    emit('#include "maths/double_double.h"')
    emit("")
    emit("namespace quelmar::maths::tables {")
    emit("")
    emit("// hi + lo, hi the nearest double to the value.")
    emit("using Pair = DoubleDouble;")
    emit("")
    emit("struct Triple {")
    emit("  double hi;")
    emit("  double mid;")
    emit("  double lo;")
    emit("};")
    emit("")

    # exp
    n = 1 << EXP_BITS
    emit("// 2^(j/%d), j = 0 .. %d, as hi + lo." % (n, n - 1))
    emit_exp2_pairs(emit, "kExp2", n)
    emit("// 2^(j/%d) as hi + lo with hi of %d significant bits." % (n, EXP_SPLIT_BITS))
    emit("inline constexpr Pair kExp2Split[%d] = {" % n)
    for j in range(n):
        v = exp2_fraction(j, n)
        hi = round_bits(v, EXP_SPLIT_BITS)
        emit("    {%s, %s}," % (hexd(nearest_double(hi)), hexd(nearest_double(v - hi))))
    emit("};")
    emit("")
    emit_ln2_over(emit, ln2, n, LN2_SCALED_BITS, "kLn2Scaled", "kInvLn2Scaled")
    emit("")
    q = 1 << QUICK_BITS
    emit("// exp's quick first try: 2^(j/%d), j = 0 .. %d, as hi + lo." % (q, q - 1))
    emit_exp2_pairs(emit, "kExp2Quick", q)
    emit_ln2_over(emit, ln2, q, LN2_QUICK_BITS, "kLn2Quick", "kInvLn2Quick")
    emit("")

    # log
    n = 1 << LOG_BITS
    emit("// The log table: for mantissas m in [1 + i/%d, 1 + (i+1)/%d), from i = %d on" % (n, n, HALVED_FROM))
    emit("// for m / 2, r is about the reciprocal of the interval's centre, with %d" % RECIPROCAL_BITS)
    emit("// fractional bits, and -ln(r) = hi + mid + lo.")
    emit("struct LogEntry {")
    emit("  double r;")
    emit("  double neg_log_hi;")
    emit("  double neg_log_mid;")
    emit("  double neg_log_lo;")
    emit("};")
    emit("inline constexpr LogEntry kLog[%d] = {" % n)
    widest = Fraction(0)
    widest_near_one = Fraction(0)
    for i in range(n):
        low = 1 + Fraction(i, n)
        high = 1 + Fraction(i + 1, n)
        if i >= HALVED_FROM:
            low, high = low / 2, high / 2
        if i == 0 or i == n - 1:
            r = Fraction(1)
        else:
            centre = (low + high) / 2
            scale = 1 << RECIPROCAL_BITS
            r = Fraction(round(scale / centre), scale)
        z = max(abs(low * r - 1), abs(high * r - 1))
        if i == 0 or i == n - 1:
            widest_near_one = max(widest_near_one, z)
        else:
            widest = max(widest, z)
        if r == 1:
            h, m, l = 0.0, 0.0, 0.0
        else:
            h, m, l = parts(-ln(r), 3)
        emit("    {%s, %s, %s, %s}," % (hexd(nearest_double(r)), hexd(h), hexd(m), hexd(l)))
    emit("};")
    emit("// |m r - 1| < %s outside the two intervals next to 1 (%s there)." %
         (hexd(nearest_double(widest) * (1 + 2.0**-40)), hexd(nearest_double(widest_near_one))))
    hi = round_bits(ln2, LN2_BITS)
    mid, lo = parts(ln2 - hi, 2)
    emit("// ln(2) = hi + mid + lo, hi with %d significant bits." % LN2_BITS)
    emit("inline constexpr Triple kLn2 = {%s, %s, %s};" % (hexd(nearest_double(hi)), hexd(mid), hexd(lo)))
    hi, lo = parts(1 / ln10, 2)
    emit("// 1/ln(10) = hi + lo.")
    emit("inline constexpr Pair kInvLn10 = {%s, %s};" % (hexd(hi), hexd(lo)))
    hi = round_bits(1 / ln10, INV_LN10_SPLIT_BITS)
    emit("// 1/ln(10) = hi + lo with hi of %d significant bits." % INV_LN10_SPLIT_BITS)
    emit("inline constexpr Pair kInvLn10Split = {%s, %s};" % (hexd(nearest_double(hi)), hexd(nearest_double(1 / ln10 - hi))))
    emit("")
    emit_quick_log(emit, round_bits(ln2, LN2_BITS))
    emit("")

    # series
    emit("// 1/k! = hi + lo, k = 0 .. %d." % (EXP_SERIES - 1))
    emit("inline constexpr Pair kInvFactorial[%d] = {" % EXP_SERIES)
    factorial = 1
    for k in range(EXP_SERIES):
        if k:
            factorial *= k
        hi, lo = parts(Fraction(1, factorial), 2)
        emit("    {%s, %s}," % (hexd(hi), hexd(lo)))
    emit("};")
    emit("// 1/k = hi + lo, k = 0 .. %d (k = 0 unused)." % (LOG_SERIES - 1))
    emit("inline constexpr Pair kInverse[%d] = {" % LOG_SERIES)
    emit("    {0x0.0p+0, 0x0.0p+0},")
    for k in range(1, LOG_SERIES):
        hi, lo = parts(Fraction(1, k), 2)
        emit("    {%s, %s}," % (hexd(hi), hexd(lo)))
    emit("};")
    emit("")
    emit("}  // namespace quelmar::maths::tables")
    print("\n".join(lines))


if __name__ == "__main__":
    main()
