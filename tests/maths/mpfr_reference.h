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
// bit of the exact value, where the 53-bit significand ends (a result that
// is a double or a midpoint counts as kExactHardness). Computed at
// `precision` bits, which bounds what can be seen. For normal results.
inline constexpr int kExactHardness = 1 << 20;

inline int hardness(Function f, Args a, mpfr_prec_t precision) {
    mpfr_t x, y, z, frac;
    mpfr_inits2(precision, x, y, z, frac, static_cast<mpfr_ptr>(nullptr));
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
    int result = 0;
    if (mpfr_regular_p(z)) {
        // |z| * 2^(54 - e) has the significand and the round bit as its
        // integer part; its fraction holds the bits after the round bit.
        mpfr_abs(z, z, MPFR_RNDN);
        mpfr_mul_2si(z, z, 54 - mpfr_get_exp(z), MPFR_RNDN);
        mpfr_frac(frac, z, MPFR_RNDN);
        if (mpfr_zero_p(frac) && ternary == 0) {
            result = kExactHardness;
        } else {
            // Leading zeros or leading ones of the fraction.
            if (mpfr_cmp_d(frac, 0.5) >= 0) mpfr_ui_sub(frac, 1, frac, MPFR_RNDN);
            result = mpfr_zero_p(frac) ? static_cast<int>(precision) - 54 : static_cast<int>(-mpfr_get_exp(frac));
        }
    }
    mpfr_set_emin(emin);
    mpfr_set_emax(emax);
    mpfr_clears(x, y, z, frac, static_cast<mpfr_ptr>(nullptr));
    return result;
}

}  // namespace maths_test
