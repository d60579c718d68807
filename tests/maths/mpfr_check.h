#pragma once

// The library's exp, log, log10, pow and sin against MPFR's correctly
// rounded results: the reference, how hard a value is to round, and the
// comparison over a stream of arguments with the misses it keeps. Shared by
// the MPFR test and tools/maths_mpfr.cpp (the campaign and the search for
// hard cases).

#include <mpfr.h>

#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "argument_ranges.h"
#include "maths/double_double.h"

namespace maths_test {

// f(a) into r, rounded to r's precision (x and y wide enough to hold a
// double); MPFR's ternary value. mpfr_pow follows the special cases of C99
// Annex F and IEEE 754-2008 for pow.
inline int mpfr_value(Function f, Args a, mpfr_ptr r, mpfr_ptr x, mpfr_ptr y) {
    mpfr_set_d(x, a.x, MPFR_RNDN);
    mpfr_set_d(y, a.y, MPFR_RNDN);
    switch (f) {
        case Function::kExp: return mpfr_exp(r, x, MPFR_RNDN);
        case Function::kLog: return mpfr_log(r, x, MPFR_RNDN);
        case Function::kLog10: return mpfr_log10(r, x, MPFR_RNDN);
        case Function::kSin: return mpfr_sin(r, x, MPFR_RNDN);
        case Function::kPow: return mpfr_pow(r, x, y, MPFR_RNDN);
    }
    return 0;
}

// The correctly rounded double of f(a): rounded once, to nearest with ties
// to even, from the exact value. MPFR's exponent range is set to the double
// one (per thread: MPFR keeps it thread-local) and each result is
// subnormalized, so that results below 2^-1022 are rounded to the subnormal
// grid once, not twice, and overflow and underflow happen where they do for
// doubles.
class Reference {
public:
    // 0.5 * 2^-1073 is 2^-1074, the least subnormal; (1 - 2^-53) * 2^1024 is
    // DBL_MAX.
    static constexpr mpfr_exp_t kEmin = -1073;
    static constexpr mpfr_exp_t kEmax = 1024;

    Reference() {
        if (mpfr_set_emin(kEmin) != 0 || mpfr_set_emax(kEmax) != 0)
            throw std::runtime_error("MPFR refuses the double exponent range");
        mpfr_inits2(53, x_, y_, r_, static_cast<mpfr_ptr>(nullptr));
    }
    ~Reference() { mpfr_clears(x_, y_, r_, static_cast<mpfr_ptr>(nullptr)); }
    Reference(const Reference&) = delete;
    Reference& operator=(const Reference&) = delete;

    double operator()(Function f, Args a) {
        mpfr_subnormalize(r_, mpfr_value(f, a, r_, x_, y_), MPFR_RNDN);
        return mpfr_get_d(r_, MPFR_RNDN);  // exact: r_ is a double now
    }

private:
    mpfr_t x_, y_, r_;
};

// How hard f(a) is to round: the number of identical bits after the round
// bit of the exact value, where the 53-bit significand ends, and whether
// the value lies next to a midpoint between two doubles (round bit 1 then
// zeros, or 0 then ones: hard to round to nearest) or next to a double
// (hard for the directed roundings only). A result that is a double or a
// midpoint counts as kExactHardness. Computed at `precision` bits, which
// bounds what can be seen, on the 53-bit significand whatever the exponent
// (the published lists count so; below 2^-1022 a double has fewer bits);
// 0 for zeros, infinities and NaN.
inline constexpr int kExactHardness = 1 << 20;

struct Hardness {
    int bits = 0;
    bool near_midpoint = false;
};

inline Hardness hardness(Function f, Args a, mpfr_prec_t precision) {
    mpfr_t x, y, z, frac, to_midpoint;
    mpfr_inits2(precision, x, y, z, frac, to_midpoint, static_cast<mpfr_ptr>(nullptr));
    const mpfr_exp_t emin = mpfr_get_emin(), emax = mpfr_get_emax();
    mpfr_set_emin(mpfr_get_emin_min());
    mpfr_set_emax(mpfr_get_emax_max());
    const int ternary = mpfr_value(f, a, z, x, y);
    Hardness h;
    if (mpfr_regular_p(z)) {
        // |z| * 2^(53 - e) has the significand as its integer part; its
        // fraction starts with the round bit. Its distance to 1/2 (a
        // midpoint) or to 0 or 1 (a double) below 2^-(k + 1) means k
        // identical bits after the round bit.
        mpfr_abs(z, z, MPFR_RNDN);
        mpfr_mul_2si(z, z, 53 - mpfr_get_exp(z), MPFR_RNDN);
        mpfr_frac(frac, z, MPFR_RNDN);
        mpfr_sub_d(to_midpoint, frac, 0.5, MPFR_RNDN);
        mpfr_abs(to_midpoint, to_midpoint, MPFR_RNDN);
        if (mpfr_cmp_d(frac, 0.5) > 0) mpfr_ui_sub(frac, 1, frac, MPFR_RNDN);  // now the distance to a double
        h.near_midpoint = mpfr_cmp(to_midpoint, frac) < 0;
        mpfr_ptr distance = h.near_midpoint ? to_midpoint : frac;
        if (mpfr_zero_p(distance))
            h.bits = ternary == 0 ? kExactHardness : static_cast<int>(precision) - 54;
        else
            h.bits = static_cast<int>(-mpfr_get_exp(distance)) - 1;
    }
    mpfr_set_emin(emin);
    mpfr_set_emax(emax);
    mpfr_clears(x, y, z, frac, to_midpoint, static_cast<mpfr_ptr>(nullptr));
    return h;
}

// The function under test: the library's, or in a campaign for comparison
// the C library's.
using Candidate = double (*)(Function, Args);

struct Miss {
    Function function;
    Args args;
    double got;
    double want;
};

inline std::string describe(const Miss& m) {
    const char* name = function_name(m.function);
    char call[160];
    if (m.function == Function::kPow)
        std::snprintf(call, sizeof call, "pow(%a, %a) [pow(%.17g, %.17g)]", m.args.x, m.args.y, m.args.x, m.args.y);
    else
        std::snprintf(call, sizeof call, "%s(%a) [%s(%.17g)]", name, m.args.x, name, m.args.x);
    // Doubles between the two on the number line.
    const auto ordered = [](double d) {
        const auto b = static_cast<std::int64_t>(quelmar::maths::to_bits(std::fabs(d)));
        return std::signbit(d) ? -b : b;
    };
    char text[400];
    if (std::isnan(m.got) || std::isnan(m.want))
        std::snprintf(text, sizeof text, "%s = %a, correctly rounded %a", call, m.got, m.want);
    else
        std::snprintf(text, sizeof text, "%s = %a (%.17g), correctly rounded %a (%.17g), %+" PRId64 " ulp", call,
                      m.got, m.got, m.want, m.want, ordered(m.got) - ordered(m.want));
    return text;
}

struct Tally {
    static constexpr std::size_t kMaxExamples = 12;
    std::uint64_t tried = 0;
    std::uint64_t misrounded = 0;
    std::vector<Miss> examples;

    void add(const Tally& other) {
        tried += other.tried;
        misrounded += other.misrounded;
        for (const Miss& m : other.examples)
            if (examples.size() < kMaxExamples) examples.push_back(m);
    }
};

// Checks one argument; a miss is counted and, while there is room, kept.
inline void check_one(Function f, Args a, Candidate candidate, Reference& reference, Tally& tally) {
    const double got = candidate(f, a);
    const double want = reference(f, a);
    ++tally.tried;
    if (same(got, want)) return;
    ++tally.misrounded;
    if (tally.examples.size() < Tally::kMaxExamples) tally.examples.push_back({f, a, got, want});
}

// `count` arguments of the range from the stream (seed, range, block).
inline void check_block(std::size_t range, std::uint64_t seed, std::uint64_t block, std::uint64_t count,
                        Candidate candidate, Reference& reference, Tally& tally) {
    Rng rng(seed, range, block);
    const Range& r = kRanges[range];
    for (std::uint64_t i = 0; i < count; ++i) check_one(r.function, r.draw(rng), candidate, reference, tally);
}

}  // namespace maths_test
