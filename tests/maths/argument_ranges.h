#pragma once

// Reproducible argument streams for the elementary functions: a fixed-seed
// 64-bit generator, and per function the ranges the analyses call it on and
// the ranges that cover every double. The MPFR test, the campaign and the
// maths benchmark draw from the same table, so that what is proved is also
// what is timed; the unit tests draw their values from the same generator.

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "maths/double_double.h"
#include "maths/maths.h"

namespace maths_test {

// xoshiro256** with a splitmix64 seeding: the same stream on every platform
// and compiler, which the standard library's engines and distributions do
// not promise.
class Rng {
public:
    explicit Rng(std::uint64_t seed) noexcept {
        for (std::uint64_t& word : s_) word = splitmix(seed);
    }

    // One independent stream per (seed, range, block): a campaign gives the
    // same arguments whatever the number of threads that share its blocks.
    Rng(std::uint64_t seed, std::uint64_t range, std::uint64_t block) noexcept
        : Rng(seed ^ splitmix_value(range * 0x100000001b3ULL + 1) ^
              splitmix_value(block * 0x9e3779b97f4a7c15ULL + 2)) {}

    std::uint64_t next() noexcept {
        const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
        const std::uint64_t t = s_[1] << 17;
        s_[2] ^= s_[0];
        s_[3] ^= s_[1];
        s_[1] ^= s_[2];
        s_[0] ^= s_[3];
        s_[2] ^= t;
        s_[3] = rotl(s_[3], 45);
        return result;
    }

    // An integer in [0, n), n > 0 (the bias of the modulo is below 2^-40 for
    // the small n used here).
    std::uint64_t below(std::uint64_t n) noexcept { return next() % n; }

    // [0, 1) in steps of 2^-53.
    double unit() noexcept { return static_cast<double>(next() >> 11) * 0x1p-53; }

    // [0, 1) with every double reachable, each with the probability of the
    // interval it rounds from: the exponent falls geometrically, the 52
    // fraction bits are random. Near 0 this keeps full precision where
    // unit() would leave trailing zeros.
    double fine_unit() noexcept {
        int exponent = -1;
        std::uint64_t bits;
        while ((bits = next()) == 0) {
            exponent -= 64;
            if (exponent < kMinExponent) return 0.0;
        }
        while (!(bits & (1ULL << 63))) {
            bits <<= 1;
            --exponent;
        }
        return from_binade(exponent, next() >> 12);
    }

    // [a, b], full precision near 0 on both sides of it.
    double uniform(double a, double b) noexcept {
        if (a < 0.0 && b > 0.0) return unit() * (b - a) < -a ? a * fine_unit() : b * fine_unit();
        if (a == 0.0) return b * fine_unit();
        if (b == 0.0) return a * fine_unit();
        return a + (b - a) * unit();
    }

    // Every double of the binades 2^lo .. 2^hi (both included) equally
    // likely per binade; binades below 2^-1022 give subnormals.
    double binades(int lo, int hi) noexcept {
        const int exponent = lo + static_cast<int>(below(static_cast<std::uint64_t>(hi - lo + 1)));
        return from_binade(exponent, next() >> 12);
    }

    double sign() noexcept { return (next() >> 63) ? -1.0 : 1.0; }

    // v moved by up to `ulps` doubles either way (v finite, far from 0).
    double around(double v, std::uint64_t ulps) noexcept {
        return quelmar::maths::from_bits(quelmar::maths::to_bits(v) + below(2 * ulps + 1) - ulps);
    }

    // A random bit pattern that is a finite double, of either sign or
    // positive only.
    double finite_bits(bool positive_only) noexcept {
        for (;;) {
            std::uint64_t bits = next();
            if (positive_only) bits &= ~(1ULL << 63);
            if (((bits >> 52) & 0x7FF) != 0x7FF) return quelmar::maths::from_bits(bits);
        }
    }

private:
    static constexpr int kMinExponent = -1074;

    static std::uint64_t rotl(std::uint64_t x, int k) noexcept { return (x << k) | (x >> (64 - k)); }
    static std::uint64_t splitmix(std::uint64_t& state) noexcept {
        state += 0x9e3779b97f4a7c15ULL;
        return splitmix_value(state);
    }
    static std::uint64_t splitmix_value(std::uint64_t z) noexcept {
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }

    // 2^exponent * 1.fraction, built from its bits; below the normal range the
    // fraction bits are shifted into a subnormal of the same binade.
    static double from_binade(int exponent, std::uint64_t fraction) noexcept {
        if (exponent >= -1022)
            return quelmar::maths::from_bits(static_cast<std::uint64_t>(exponent + 1023) << 52 | fraction);
        if (exponent < kMinExponent) return 0.0;
        return quelmar::maths::from_bits((1ULL << 52 | fraction) >> (-1022 - exponent));
    }

    std::uint64_t s_[4];
};

enum class Function { kExp, kLog, kLog10, kPow, kSin };

inline const char* function_name(Function f) {
    static const char* const kNames[] = {"exp", "log", "log10", "pow", "sin"};
    return kNames[static_cast<int>(f)];
}

struct Args {
    double x;
    double y;  // pow's exponent; unused otherwise
};

// The library's function f at a.
inline double library(Function f, Args a) {
    switch (f) {
        case Function::kExp: return quelmar::maths::exp(a.x);
        case Function::kLog: return quelmar::maths::log(a.x);
        case Function::kLog10: return quelmar::maths::log10(a.x);
        case Function::kPow: return quelmar::maths::pow(a.x, a.y);
        case Function::kSin: return quelmar::maths::sin(a.x);
    }
    return NAN;
}

// Bit for bit, the sign of zero included; any NaN matches any NaN.
inline bool same(double got, double want) {
    if (std::isnan(got) || std::isnan(want)) return std::isnan(got) && std::isnan(want);
    return quelmar::maths::to_bits(got) == quelmar::maths::to_bits(want);
}

struct Range {
    Function function;
    const char* name;         // an identifier: test names and benchmark names
    const char* description;  // what is drawn, for the output
    Args (*draw)(Rng&);
};

namespace draws {

// The analyses' own argument forms, evaluated in their order.
inline Args gaussian_term(Rng& r) {
    const double t = r.uniform(20.0, 100.0);  // temperature
    const double b = r.uniform(40.0, 95.0);   // peak centre
    const double c = r.uniform(0.05, 12.0);   // peak width
    const double factor = 1.0 / ((c + c) * c);
    const double d = t - b;
    return {-(d * d) * factor, 0};
}

inline Args logistic_term(Rng& r) {
    const double x = static_cast<double>(1 + r.below(60));  // cycle
    const double x0 = r.uniform(-10.0, 70.0);               // midpoint
    const double k = r.uniform(0.0, 6.0);                   // steepness
    return {(x - x0) * (-k), 0};
}

// 1 + d or 1 - d with d spread over the binades 2^-52 .. 2^-2 (below them
// 1 +- d is 1 or one of its next few neighbours again and again; those are
// among the special values).
inline Args near_one(Rng& r) {
    const double d = r.binades(-52, -2);
    return {r.sign() > 0 ? 1.0 + d : 1.0 - d, 0};
}

// x uniform in [lo, hi]; base^y with y uniform in [lo, hi].
template <int lo, int hi> Args uniform(Rng& r) { return {r.uniform(lo, hi), 0}; }
template <int base, int lo, int hi> Args power_of(Rng& r) { return {base, r.uniform(lo, hi)}; }

inline Args positive_bits(Rng& r) { return {r.finite_bits(true), 0}; }
inline Args subnormal(Rng& r) { return {r.binades(-1074, -1023), 0}; }
inline Args tiny(Rng& r) { return {r.sign() * r.binades(-1074, -8), 0}; }  // either sign

// The double nearest 10^k times (1 +- a few ulps), k in [-307, 308].
inline Args near_power_of_ten(Rng& r) {
    const int k = -307 + static_cast<int>(r.below(616));
    return {r.around(std::pow(10.0, static_cast<double>(k)), 8), 0};  // pow only spreads them, it is not under test
}

// x^y landing near 2^t, t uniform in [-1080, 1030]: every result binade,
// subnormals and overflow included; y rounded to an integer on request.
inline Args landing_anywhere(double x, Rng& r, bool integer) {
    const double y = r.uniform(-1080.0, 1030.0) / std::log2(std::fabs(x));
    return {x, integer ? std::nearbyint(y) : y};
}

}  // namespace draws

// The ranges, per function. The analyses' arguments are: exp of Gaussian
// terms -(d*d)*factor, of logistic denominators (x - x0)*(-k) and of ramp
// exponents; log of peak ratios in (0, 1]; log10 of quantities; pow of 2 and
// 10 to Ct differences and log means, of (2g - 1) cubed, of (1 + sd) to an
// integer multiple, of a factor to a t quantile, and squares; sin of
// temperatures times 0.5.
inline const Range kRanges[] = {
    {Function::kExp, "exp_m745_710", "exp, x uniform in [-745, 710]", draws::uniform<-745, 710>},
    {Function::kExp, "exp_m40_40", "exp, x uniform in [-40, 40]", draws::uniform<-40, 40>},
    {Function::kExp, "exp_gaussian", "exp of Gaussian terms -(d*d)*(1/((c+c)*c))", draws::gaussian_term},
    {Function::kExp, "exp_logistic", "exp of logistic terms (x - x0)*(-k)", draws::logistic_term},
    {Function::kExp, "exp_edges", "exp near overflow [700, 709.79] and underflow [-745.2, -700]",
     [](Rng& r) { return Args{r.sign() > 0 ? r.uniform(700.0, 709.79) : r.uniform(-745.2, -700.0), 0}; }},
    {Function::kExp, "exp_tiny", "exp, |x| in the binades 2^-1074 .. 2^-8", draws::tiny},

    {Function::kLog, "log_all_positive", "log, random bit patterns of positive finite doubles", draws::positive_bits},
    {Function::kLog, "log_near_1", "log, 1 +- d with d in the binades 2^-52 .. 2^-2", draws::near_one},
    {Function::kLog, "log_subnormal", "log, subnormal arguments", draws::subnormal},
    {Function::kLog, "log_ratio", "log of peak ratios, uniform in (0, 1]",
     [](Rng& r) { return Args{1.0 - r.fine_unit(), 0}; }},

    {Function::kLog10, "log10_all_positive", "log10, random bit patterns of positive finite doubles",
     draws::positive_bits},
    {Function::kLog10, "log10_near_1", "log10, 1 +- d with d in the binades 2^-52 .. 2^-2", draws::near_one},
    {Function::kLog10, "log10_subnormal", "log10, subnormal arguments", draws::subnormal},
    {Function::kLog10, "log10_quantities", "log10 of quantities, the binades 2^-40 .. 2^60",
     [](Rng& r) { return Args{r.binades(-40, 60), 0}; }},
    {Function::kLog10, "log10_near_powers_of_10", "log10 within 8 ulps of 10^k, k in [-307, 308]",
     draws::near_power_of_ten},

    {Function::kPow, "pow_2_m1100_1100", "pow(2, y), y uniform in [-1100, 1100]", draws::power_of<2, -1100, 1100>},
    {Function::kPow, "pow_2_m60_60", "pow(2, y), y uniform in [-60, 60]", draws::power_of<2, -60, 60>},
    {Function::kPow, "pow_10_m1100_1100", "pow(10, y), y uniform in [-1100, 1100]", draws::power_of<10, -1100, 1100>},
    {Function::kPow, "pow_10_m60_60", "pow(10, y), y uniform in [-60, 60]", draws::power_of<10, -60, 60>},
    {Function::kPow, "pow_cube", "pow(2g - 1, 3), g uniform in [0, 1]",
     [](Rng& r) { return Args{2.0 * r.fine_unit() - 1.0, 3.0}; }},
    {Function::kPow, "pow_one_plus_s_k", "pow(s + 1, k), s in the binades 2^-40 .. 2^3, k integer in [1, 10]",
     [](Rng& r) { return Args{r.binades(-40, 3) + 1.0, static_cast<double>(1 + r.below(10))}; }},
    {Function::kPow, "pow_s_t", "pow(s, t), s in the binades 2^-30 .. 2^6, t uniform in [1.5, 32]",
     [](Rng& r) { return Args{r.binades(-30, 6), r.uniform(1.5, 32.0)}; }},
    {Function::kPow, "pow_square", "pow(v, 2), v random finite bit patterns",
     [](Rng& r) { return Args{r.finite_bits(false), 2.0}; }},
    {Function::kPow, "pow_finite_pairs", "pow(x, y), x and y random finite bit patterns",
     [](Rng& r) { return Args{r.finite_bits(false), r.finite_bits(false)}; }},
    {Function::kPow, "pow_results_in_range", "pow(x, y), x > 0 random bits, x^y in 2^-1080 .. 2^1030",
     [](Rng& r) { return draws::landing_anywhere(r.finite_bits(true), r, false); }},
    {Function::kPow, "pow_negative_integer",
     "pow(x, n), x < 0 in the binades 2^-12 .. 2^12, n integer, |x^n| in 2^-1080 .. 2^1030",
     [](Rng& r) { return draws::landing_anywhere(-r.binades(-12, 12), r, true); }},

    {Function::kSin, "sin_m100_100", "sin, x uniform in [-100, 100]", draws::uniform<-100, 100>},
    {Function::kSin, "sin_m2p30_2p30", "sin, x uniform in [-2^30, 2^30]", draws::uniform<-(1 << 30), 1 << 30>},
    {Function::kSin, "sin_all_finite", "sin, random bit patterns of finite doubles (up to DBL_MAX)",
     [](Rng& r) { return Args{r.finite_bits(false), 0}; }},
    {Function::kSin, "sin_near_multiples_of_pi", "sin within 32 ulps of k*pi, k integer up to 2^40",
     [](Rng& r) {
         const double k = static_cast<double>(1 + r.below(r.sign() > 0 ? 1000 : (1ULL << 40)));
         return Args{r.sign() * r.around(k * 3.141592653589793, 32), 0};
     }},
    {Function::kSin, "sin_tiny", "sin, |x| in the binades 2^-1074 .. 2^-8", draws::tiny},
};

inline constexpr std::size_t kRangeCount = sizeof kRanges / sizeof kRanges[0];

}  // namespace maths_test
