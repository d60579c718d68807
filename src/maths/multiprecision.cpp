#include "maths/multiprecision.h"

#include <cstring>

#include "maths/double_double.h"
#include "maths/multiprecision_tables.h"

namespace quelmar::maths::mp {

namespace {

constexpr std::uint64_t kLimbMask = 0xFFFFFFFFu;
// Room for the widest intermediate: a quotient or a dividend of two full
// precisions and a few guard limbs.
constexpr int kWideLimbs = 2 * kMaxLimbs + 4;

constexpr int kDoubleMantissaBits = 53;
constexpr int kSubnormalExponent = -1074;  // weight of the last bit of a subnormal
constexpr int kMinNormalExponent = -1022;
constexpr int kMaxBiasedExponent = 2047;
constexpr std::uint64_t kInfinityBits = 0x7FF0000000000000ull;
constexpr std::uint64_t kLargestFiniteBits = 0x7FEFFFFFFFFFFFFFull;

int clamp_limbs(int limbs) noexcept { return limbs < 1 ? 1 : (limbs > kMaxLimbs ? kMaxLimbs : limbs); }

int max3(int a, int b, int c) noexcept {
    int m = a > b ? a : b;
    return m > c ? m : c;
}

int leading_zeros32(std::uint32_t x) noexcept {
    int n = 0;
    if (x <= 0x0000FFFFu) { n += 16; x <<= 16; }
    if (x <= 0x00FFFFFFu) { n += 8; x <<= 8; }
    if (x <= 0x0FFFFFFFu) { n += 4; x <<= 4; }
    if (x <= 0x3FFFFFFFu) { n += 2; x <<= 2; }
    if (x <= 0x7FFFFFFFu) { n += 1; }
    return n;
}

// The 32 bits of the mantissa m[0 .. n) that start at bit `pos` (bit 0 the
// top bit of m[0]); bits outside [0, 32 n) read as zeros.
std::uint32_t bits32_at(const std::uint32_t* m, int n, int pos) noexcept {
    if (pos <= -kLimbBits || pos >= kLimbBits * n) return 0;
    if (pos < 0) return m[0] >> -pos;
    int i = pos / kLimbBits;
    int s = pos % kLimbBits;
    if (s == 0) return m[i];
    std::uint32_t next = i + 1 < n ? m[i + 1] : 0;
    return (m[i] << s) | (next >> (kLimbBits - s));
}

std::uint64_t bits64_at(const std::uint32_t* m, int n, int pos) noexcept {
    return (static_cast<std::uint64_t>(bits32_at(m, n, pos)) << 32) | bits32_at(m, n, pos + kLimbBits);
}

// Whether any bit of m[0 .. n) from bit `pos` on is set.
bool any_bit_from(const std::uint32_t* m, int n, int pos) noexcept {
    if (pos < 0) pos = 0;
    if (pos >= kLimbBits * n) return false;
    int i = pos / kLimbBits;
    int s = pos % kLimbBits;
    if ((m[i] << s) != 0) return true;
    for (++i; i < n; ++i) {
        if (m[i] != 0) return true;
    }
    return false;
}

// The number 0.m[0] m[1] ... m[n-1] (base 2^32) * 2^exponent, normalized and
// truncated toward zero to `limbs` limbs.
Number normalized(const std::uint32_t* m, int n, int exponent, bool negative, int limbs) noexcept {
    Number r;
    r.limbs = limbs;
    r.negative = negative;
    int first = 0;
    while (first < n && m[first] == 0) ++first;
    if (first == n) {
        std::memset(r.limb, 0, sizeof(std::uint32_t) * static_cast<std::size_t>(limbs));
        r.exponent = 0;
        return r;
    }
    int shift = kLimbBits * first + leading_zeros32(m[first]);
    for (int i = 0; i < limbs; ++i) r.limb[i] = bits32_at(m, n, shift + kLimbBits * i);
    r.exponent = exponent - shift;
    return r;
}

// a with `limbs` limbs: truncated, or padded with zeros.
Number resized(const Number& a, int limbs) noexcept {
    Number r;
    r.limbs = limbs;
    r.negative = a.negative;
    r.exponent = a.exponent;
    int kept = a.limbs < limbs ? a.limbs : limbs;
    std::memcpy(r.limb, a.limb, sizeof(std::uint32_t) * static_cast<std::size_t>(kept));
    for (int i = kept; i < limbs; ++i) r.limb[i] = 0;
    return r;
}

Number from_magnitude(std::uint64_t magnitude, int exponent_of_unit, bool negative, int limbs) noexcept {
    std::uint32_t m[2] = {static_cast<std::uint32_t>(magnitude >> 32), static_cast<std::uint32_t>(magnitude)};
    return normalized(m, 2, exponent_of_unit + 2 * kLimbBits, negative, limbs);
}

// a + b with b's sign given apart (so that sub is a + (-b) without a copy),
// truncated toward zero. The operands are aligned in a buffer two limbs wider
// than the widest of them and the result: the bits of the smaller operand
// that fall past it can only be there when the exponents differ by more than
// 64, and then they are summarized by one sticky unit, so that the buffer's
// truncation is the exact result's (see the comment at the subtraction).
Number add_signed(const Number& a, const Number& b, bool b_negative, int limbs) noexcept {
    limbs = clamp_limbs(limbs);
    if (is_zero(b)) return resized(a, limbs);
    if (is_zero(a)) {
        Number r = resized(b, limbs);
        r.negative = b_negative;
        return r;
    }
    const Number* x = &a;
    const Number* y = &b;
    bool x_negative = a.negative;
    bool y_negative = b_negative;
    if (compare_magnitude(a, b) < 0) {
        x = &b;
        y = &a;
        x_negative = b_negative;
        y_negative = a.negative;
    }
    // Buffer limb p (0 .. width) weighs 2^(x.exponent + 32 - 32 (p + 1)):
    // limb 0 takes the carry, x sits at 1 .. x.limbs.
    const int width = max3(limbs, x->limbs, y->limbs) + 2;
    const int shift = x->exponent - y->exponent;  // >= 0 since |x| >= |y|
    std::uint32_t buffer[kMaxLimbs + 3];
    std::uint32_t aligned[kMaxLimbs + 3];
    buffer[0] = 0;
    aligned[0] = 0;
    for (int p = 1; p <= width; ++p) {
        buffer[p] = p <= x->limbs ? x->limb[p - 1] : 0;
        aligned[p] = bits32_at(y->limb, y->limbs, kLimbBits * (p - 1) - shift);
    }
    const bool sticky = any_bit_from(y->limb, y->limbs, kLimbBits * width - shift);
    if (x_negative == y_negative) {
        std::uint64_t carry = 0;
        for (int p = width; p >= 0; --p) {
            std::uint64_t t = static_cast<std::uint64_t>(buffer[p]) + aligned[p] + carry;
            buffer[p] = static_cast<std::uint32_t>(t);
            carry = t >> 32;
        }
        // The dropped bits only add less than one buffer unit: the
        // truncation, at or above the buffer's last limb, is unchanged.
    } else {
        std::uint64_t borrow = 0;
        for (int p = width; p >= 0; --p) {
            std::uint64_t t = static_cast<std::uint64_t>(buffer[p]) - aligned[p] - borrow;
            buffer[p] = static_cast<std::uint32_t>(t);
            borrow = (t >> 32) & 1;
        }
        // Dropped bits of y make the exact difference smaller than the
        // buffer by less than one unit: one unit less in the buffer puts the
        // exact value strictly between the buffer and the buffer plus one
        // unit, which truncates alike. (|x| > |y| then, so no borrow runs
        // past the top.)
        if (sticky) {
            for (int p = width; p >= 0; --p) {
                if (buffer[p]-- != 0) break;
            }
        }
    }
    Number r = normalized(buffer, width + 1, x->exponent + kLimbBits, x_negative, limbs);
    if (is_zero(r)) r.negative = false;
    return r;
}

// Knuth's algorithm D on little-endian digits: q = floor(u / v) for v of n >= 2
// digits with the top bit of v[n-1] set; u has m + n digits and is
// overwritten by the remainder; q gets m + 1 digits.
void long_division(std::uint32_t* u, int m, const std::uint32_t* v, int n, std::uint32_t* q) noexcept {
    constexpr std::uint64_t kBase = std::uint64_t{1} << 32;
    u[m + n] = 0;
    for (int j = m; j >= 0; --j) {
        std::uint64_t numerator = (static_cast<std::uint64_t>(u[j + n]) << 32) | u[j + n - 1];
        std::uint64_t qhat = numerator / v[n - 1];
        std::uint64_t rhat = numerator % v[n - 1];
        while (qhat >= kBase || qhat * v[n - 2] > ((rhat << 32) | u[j + n - 2])) {
            --qhat;
            rhat += v[n - 1];
            if (rhat >= kBase) break;
        }
        // u[j .. j+n] -= qhat * v; the running borrow stays below 2^32 + 1.
        std::uint64_t carry = 0;
        std::int64_t borrow = 0;
        for (int i = 0; i < n; ++i) {
            std::uint64_t p = qhat * v[i] + carry;
            carry = p >> 32;
            std::int64_t t = static_cast<std::int64_t>(u[i + j]) - borrow - static_cast<std::int64_t>(p & kLimbMask);
            u[i + j] = static_cast<std::uint32_t>(t);
            borrow = t < 0 ? 1 : 0;
        }
        std::int64_t top = static_cast<std::int64_t>(u[j + n]) - borrow - static_cast<std::int64_t>(carry);
        u[j + n] = static_cast<std::uint32_t>(top);
        if (top < 0) {
            // qhat was one too large (rare): add v back.
            --qhat;
            std::uint64_t c = 0;
            for (int i = 0; i < n; ++i) {
                std::uint64_t t = static_cast<std::uint64_t>(u[i + j]) + v[i] + c;
                u[i + j] = static_cast<std::uint32_t>(t);
                c = t >> 32;
            }
            u[j + n] = static_cast<std::uint32_t>(u[j + n] + c);
        }
        q[j] = static_cast<std::uint32_t>(qhat);
    }
}

// The midpoint between two non-negative neighbouring doubles (bit patterns
// `low` and low + 1), exactly; past the largest finite double the neighbour
// is 2^1024.
Number midpoint_above(std::uint64_t low) noexcept {
    if (low == kLargestFiniteBits) {
        // (2^53 - 1) 2^971 and 2^1024 average to (2^54 - 1) 2^970.
        return from_magnitude((std::uint64_t{1} << 54) - 1, 970, false, 3);
    }
    return scale2(add(from_double(from_bits(low), 3), from_double(from_bits(low + 1), 3), 3), -1);
}

}  // namespace

Number zero(int limbs) noexcept {
    std::uint32_t none = 0;
    return normalized(&none, 1, 0, false, clamp_limbs(limbs));
}

Number from_double(double x, int limbs) noexcept {
    limbs = clamp_limbs(limbs < 2 ? 2 : limbs);
    const std::uint64_t bits = to_bits(x);
    const bool negative = (bits & kSignBit) != 0;
    const int biased = static_cast<int>((bits >> 52) & 0x7FF);
    std::uint64_t mantissa = bits & (kImplicitBit - 1);
    int unit = kSubnormalExponent;
    if (biased != 0) {
        mantissa |= kImplicitBit;
        unit = biased - kExponentBias - 52;
    }
    return from_magnitude(mantissa, unit, negative, limbs);
}

Number from_integer(std::int64_t n, int limbs) noexcept {
    limbs = clamp_limbs(limbs < 2 ? 2 : limbs);
    const bool negative = n < 0;
    // Unsigned negation is exact for every int64, the most negative included.
    std::uint64_t magnitude = negative ? 0 - static_cast<std::uint64_t>(n) : static_cast<std::uint64_t>(n);
    return from_magnitude(magnitude, 0, negative, limbs);
}

Number add(const Number& a, const Number& b, int limbs) noexcept { return add_signed(a, b, b.negative, limbs); }

Number sub(const Number& a, const Number& b, int limbs) noexcept { return add_signed(a, b, !b.negative, limbs); }

Number mul(const Number& a, const Number& b, int limbs) noexcept {
    limbs = clamp_limbs(limbs);
    const bool negative = a.negative != b.negative;
    if (is_zero(a) || is_zero(b)) {
        Number r = zero(limbs);
        r.negative = negative;
        return r;
    }
    // The whole product, so that the truncation is exact: positions i + j + 1
    // hold a.limb[i] * b.limb[j] (big-endian).
    const int na = a.limbs;
    const int nb = b.limbs;
    std::uint32_t product[2 * kMaxLimbs];
    for (int k = 0; k < na + nb; ++k) product[k] = 0;
    for (int i = na - 1; i >= 0; --i) {
        const std::uint64_t ai = a.limb[i];
        if (ai == 0) continue;
        std::uint64_t carry = 0;
        for (int j = nb - 1; j >= 0; --j) {
            std::uint64_t t = ai * b.limb[j] + product[i + j + 1] + carry;
            product[i + j + 1] = static_cast<std::uint32_t>(t);
            carry = t >> 32;
        }
        product[i] = static_cast<std::uint32_t>(carry);
    }
    return normalized(product, na + nb, a.exponent + b.exponent, negative, limbs);
}

Number mul_small(const Number& a, std::uint32_t n, int limbs) noexcept {
    limbs = clamp_limbs(limbs);
    std::uint32_t product[kMaxLimbs + 1];
    std::uint64_t carry = 0;
    for (int i = a.limbs - 1; i >= 0; --i) {
        std::uint64_t t = static_cast<std::uint64_t>(a.limb[i]) * n + carry;
        product[i + 1] = static_cast<std::uint32_t>(t);
        carry = t >> 32;
    }
    product[0] = static_cast<std::uint32_t>(carry);
    Number r = normalized(product, a.limbs + 1, a.exponent + kLimbBits, a.negative, limbs);
    return r;
}

Number div_small(const Number& a, std::uint32_t n, int limbs) noexcept {
    limbs = clamp_limbs(limbs);
    if (n == 0) return resized(a, limbs);
    // Quotient digit i has the weight of a's limb i. The first two digits
    // hold the leading bit (a.limb[0] >= 2^31), so limbs + 2 digits hold
    // `limbs` limbs from it on; the digits are the exact quotient's.
    std::uint32_t quotient[kMaxLimbs + 2];
    const int digits = limbs + 2;
    std::uint64_t remainder = 0;
    for (int i = 0; i < digits; ++i) {
        std::uint64_t current = (remainder << 32) | (i < a.limbs ? a.limb[i] : 0);
        quotient[i] = static_cast<std::uint32_t>(current / n);
        remainder = current % n;
    }
    return normalized(quotient, digits, a.exponent, a.negative, limbs);
}

Number div(const Number& a, const Number& b, int limbs) noexcept {
    limbs = clamp_limbs(limbs);
    if (is_zero(b)) return resized(a, limbs);
    const bool negative = a.negative != b.negative;
    if (is_zero(a)) {
        Number r = zero(limbs);
        r.negative = negative;
        return r;
    }
    // Trailing zero limbs of b change nothing; b.limb[0] >= 2^31 keeps the
    // divisor normalized as algorithm D needs.
    int nb = b.limbs;
    while (nb > 1 && b.limb[nb - 1] == 0) --nb;
    if (nb == 1) {
        // b = limb * 2^(exponent - 32): divide by the limb, scale by the rest.
        Number r = scale2(div_small(a, b.limb[0], limbs), kLimbBits - b.exponent);
        r.negative = negative;
        return r;
    }
    // Q = floor(A 2^(32 s) / B) on the mantissas as integers, with s chosen
    // so that Q has at least 32 limbs bits; then a / b = 0.Q * 2^(32 +
    // a.exponent - b.exponent) with Q's na + s - nb + 1 digits, and the
    // remainder dropped is what truncation drops.
    const int na = a.limbs;
    int s = limbs + nb - na;
    if (s < 0) s = 0;
    const int un = na + s;
    std::uint32_t u[kWideLimbs + 1];
    std::uint32_t v[kMaxLimbs];
    std::uint32_t q[kWideLimbs];
    for (int i = 0; i < s; ++i) u[i] = 0;
    for (int i = 0; i < na; ++i) u[s + i] = a.limb[na - 1 - i];
    for (int i = 0; i < nb; ++i) v[i] = b.limb[nb - 1 - i];
    const int m = un - nb;
    long_division(u, m, v, nb, q);
    // Back to most significant first.
    std::uint32_t quotient[kWideLimbs];
    for (int i = 0; i <= m; ++i) quotient[i] = q[m - i];
    return normalized(quotient, m + 1, kLimbBits + a.exponent - b.exponent, negative, limbs);
}

Number scale2(const Number& a, int k) noexcept {
    Number r = a;
    if (!is_zero(r)) r.exponent += k;
    return r;
}

Number negate(const Number& a) noexcept {
    Number r = a;
    r.negative = !a.negative;
    return r;
}

int compare_magnitude(const Number& a, const Number& b) noexcept {
    const bool a_zero = is_zero(a);
    const bool b_zero = is_zero(b);
    if (a_zero || b_zero) return a_zero && b_zero ? 0 : (a_zero ? -1 : 1);
    if (a.exponent != b.exponent) return a.exponent < b.exponent ? -1 : 1;
    const int n = a.limbs > b.limbs ? a.limbs : b.limbs;
    for (int i = 0; i < n; ++i) {
        std::uint32_t x = i < a.limbs ? a.limb[i] : 0;
        std::uint32_t y = i < b.limbs ? b.limb[i] : 0;
        if (x != y) return x < y ? -1 : 1;
    }
    return 0;
}

int compare(const Number& a, const Number& b) noexcept {
    const bool a_zero = is_zero(a);
    const bool b_zero = is_zero(b);
    if (a_zero && b_zero) return 0;
    const bool a_negative = !a_zero && a.negative;
    const bool b_negative = !b_zero && b.negative;
    if (a_negative != b_negative) return a_negative ? -1 : 1;
    const int by_magnitude = compare_magnitude(a, b);
    return a_negative ? -by_magnitude : by_magnitude;
}

Number split_nearest_integer(const Number& a, std::uint64_t& integer_bits) noexcept {
    integer_bits = 0;
    // |a| in [2^(E-1), 2^E): below 1/2 when E < 0, no integer bits.
    const int e = a.exponent;
    if (is_zero(a) || e < 0) return a;
    const int n = a.limbs;
    // Mantissa bit b weighs 2^(E - 1 - b): bits before E form the integer
    // part, whose low 64 bits end at bit E - 1.
    std::uint64_t integer = bits64_at(a.limb, n, e - 64);
    const int fraction_bits = kLimbBits * n - e;
    const int fraction_limbs = fraction_bits > 0 ? (fraction_bits + kLimbBits - 1) / kLimbBits : 0;
    std::uint32_t fraction[kMaxLimbs];
    for (int i = 0; i < fraction_limbs; ++i) fraction[i] = bits32_at(a.limb, n, e + kLimbBits * i);
    bool negative = a.negative;
    if (fraction_limbs > 0 && (fraction[0] >> 31) != 0) {
        // A fraction of at least 1/2: k one further from zero, f = fraction - 1,
        // whose magnitude 1 - fraction is the two's complement of the digits.
        integer += 1;
        negative = !negative;
        std::uint64_t carry = 1;
        for (int i = fraction_limbs - 1; i >= 0; --i) {
            std::uint64_t t = static_cast<std::uint64_t>(~fraction[i]) + carry;
            fraction[i] = static_cast<std::uint32_t>(t);
            carry = t >> 32;
        }
    }
    integer_bits = a.negative ? 0 - integer : integer;
    if (fraction_limbs == 0) return zero(n);
    Number r = normalized(fraction, fraction_limbs, 0, negative, n);
    if (is_zero(r)) r.negative = false;
    return r;
}

double nearest_double(const Number& a) noexcept {
    const std::uint64_t sign = a.negative ? kSignBit : 0;
    std::uint64_t bits;
    const int e = a.exponent;  // |a| in [2^(e-1), 2^e)
    if (is_zero(a) || e < kSubnormalExponent) {
        // Zero, or below 2^-1076: nearer to zero than to 2^-1074.
        bits = sign;
    } else if (e > 1024) {
        bits = sign | kInfinityBits;
    } else {
        // Bits kept: 53, or fewer on the subnormal grid (down to 2^-1074).
        const int top_weight = e - 1;
        int kept = top_weight >= kMinNormalExponent ? kDoubleMantissaBits : top_weight - kSubnormalExponent + 1;
        std::uint64_t head = bits64_at(a.limb, a.limbs, 0);
        std::uint64_t mantissa = kept > 0 ? head >> (64 - kept) : 0;
        const bool round_bit = ((head >> (63 - kept)) & 1) != 0;
        const bool sticky = (kept < 63 && (head << (kept + 1)) != 0) || any_bit_from(a.limb, a.limbs, 64);
        if (round_bit && (sticky || (mantissa & 1) != 0)) ++mantissa;
        if (kept < kDoubleMantissaBits) {
            // mantissa * 2^-1074 with mantissa <= 2^52: the bit pattern itself
            // (2^52 is the smallest normal).
            bits = sign | mantissa;
        } else {
            int unit = e - kDoubleMantissaBits;
            if (mantissa == (std::uint64_t{1} << kDoubleMantissaBits)) {
                mantissa >>= 1;
                ++unit;
            }
            const int biased = unit + kExponentBias + 52;
            if (biased >= kMaxBiasedExponent) {
                bits = sign | kInfinityBits;
            } else {
                bits = sign | (static_cast<std::uint64_t>(biased) << 52) | (mantissa & (kImplicitBit - 1));
            }
        }
    }
    return from_bits(bits);
}

bool round_to_double(const Number& a, std::uint64_t error, int error_exponent, double& result) noexcept {
    const double nearest = nearest_double(a);
    if (error == 0) {
        result = nearest;
        return true;
    }
    if (is_zero(a)) return false;
    // Every value strictly between the midpoints around d = RN(|a|) rounds to
    // d; the interval |a| -+ error must lie inside. Below the smallest
    // subnormal the lower limit is zero itself, whose other side has the
    // other sign; the largest doubles' upper limit is infinite.
    Number magnitude = a;
    magnitude.negative = false;
    const Number bound = scale2(from_magnitude(error, 0, false, 2), error_exponent);
    const std::uint64_t d = to_bits(nearest) & ~kSignBit;
    const int limbs = clamp_limbs(a.limbs + 2);
    // Differences truncated toward zero are never above the true ones, so the
    // strict comparisons below only err on the side of refusing.
    const Number lower = d == 0 ? zero(2) : midpoint_above(d - 1);
    if (compare(sub(magnitude, lower, limbs), bound) <= 0) return false;
    if (d != kInfinityBits) {
        const Number upper = midpoint_above(d);
        if (compare(sub(upper, magnitude, limbs), bound) <= 0) return false;
    }
    result = nearest;
    return true;
}

namespace {

Number from_table(const std::uint32_t* table, int count, int exponent, int limbs) noexcept {
    limbs = clamp_limbs(limbs);
    return normalized(table, count < limbs ? count : limbs, exponent, false, limbs);
}

}  // namespace

Number pi(int limbs) noexcept { return from_table(mp_tables::kPi, kMaxLimbs + 2, mp_tables::kPiExponent, limbs); }

Number ln2(int limbs) noexcept {
    return from_table(mp_tables::kLn2, kMaxLimbs + 2, mp_tables::kLn2Exponent, limbs);
}

Number ln10(int limbs) noexcept {
    return from_table(mp_tables::kLn10, kMaxLimbs + 2, mp_tables::kLn10Exponent, limbs);
}

Number two_over_pi_bits(int first_bit, int limbs) noexcept {
    limbs = clamp_limbs(limbs);
    constexpr int kTableLimbs = kTwoOverPiBits / kLimbBits;
    static_assert(sizeof mp_tables::kTwoOverPi == kTableLimbs * sizeof(std::uint32_t), "table length");
    // Skip the zeros after first_bit (runs of zeros in 2/pi are short), then
    // read the window of the normalized number.
    int start = first_bit < 1 ? 0 : first_bit - 1;
    int skipped = 0;
    while (start < kTwoOverPiBits && bits32_at(mp_tables::kTwoOverPi, kTableLimbs, start) == 0) {
        start += kLimbBits;
        skipped += kLimbBits;
    }
    std::uint32_t window[kMaxLimbs + 1];
    for (int i = 0; i <= limbs; ++i) window[i] = bits32_at(mp_tables::kTwoOverPi, kTableLimbs, start + kLimbBits * i);
    return normalized(window, limbs + 1, -skipped, false, limbs);
}

}  // namespace quelmar::maths::mp
