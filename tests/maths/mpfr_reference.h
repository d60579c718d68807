#pragma once

// The correctly rounded double of exp, log, log10, pow and sin, from MPFR:
// its results are rounded once, to nearest with ties to even, from the exact
// value. MPFR's exponent range is set to the double one (per thread: MPFR
// keeps it thread-local) and each result is subnormalized, so that results
// below 2^-1022 are rounded to the subnormal grid once, not twice, and
// overflow and underflow happen where they do for doubles.

#include <mpfr.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "argument_ranges.h"

namespace maths_test {

class Reference {
public:
    // 0.5 * 2^-1073 is 2^-1074, the least subnormal; (1 - 2^-53) * 2^1024 is
    // DBL_MAX.
    static constexpr mpfr_exp_t kEmin = -1073;
    static constexpr mpfr_exp_t kEmax = 1024;
    static constexpr mpfr_prec_t kDoublePrecision = 53;

    Reference() {
        if (mpfr_set_emin(kEmin) != 0 || mpfr_set_emax(kEmax) != 0)
            throw std::runtime_error("MPFR refuses the double exponent range");
        mpfr_init2(x_, kDoublePrecision);
        mpfr_init2(y_, kDoublePrecision);
        mpfr_init2(r_, kDoublePrecision);
    }
    ~Reference() {
        mpfr_clear(x_);
        mpfr_clear(y_);
        mpfr_clear(r_);
    }
    Reference(const Reference&) = delete;
    Reference& operator=(const Reference&) = delete;

    double operator()(Function f, Args a) {
        mpfr_set_d(x_, a.x, MPFR_RNDN);  // exact: every double fits
        int ternary = 0;
        switch (f) {
            case Function::kExp: ternary = mpfr_exp(r_, x_, MPFR_RNDN); break;
            case Function::kLog: ternary = mpfr_log(r_, x_, MPFR_RNDN); break;
            case Function::kLog10: ternary = mpfr_log10(r_, x_, MPFR_RNDN); break;
            case Function::kSin: ternary = mpfr_sin(r_, x_, MPFR_RNDN); break;
            case Function::kPow:
                // mpfr_pow follows the special cases of C99 Annex F and
                // IEEE 754-2008 for pow.
                mpfr_set_d(y_, a.y, MPFR_RNDN);
                ternary = mpfr_pow(r_, x_, y_, MPFR_RNDN);
                break;
        }
        ternary = mpfr_subnormalize(r_, ternary, MPFR_RNDN);
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
    mpfr_set_d(x, a.x, MPFR_RNDN);
    mpfr_set_d(y, a.y, MPFR_RNDN);
    int ternary = 0;
    switch (f) {
        case Function::kExp: ternary = mpfr_exp(z, x, MPFR_RNDN); break;
        case Function::kLog: ternary = mpfr_log(z, x, MPFR_RNDN); break;
        case Function::kLog10: ternary = mpfr_log10(z, x, MPFR_RNDN); break;
        case Function::kSin: ternary = mpfr_sin(z, x, MPFR_RNDN); break;
        case Function::kPow: ternary = mpfr_pow(z, x, y, MPFR_RNDN); break;
    }
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

}  // namespace maths_test
