#pragma once

// The steps of the correctly rounded sin (sin.cpp), declared apart so that
// the unit tests can check each reduction and each error bound on its own.
#include <cstdint>

#include "maths/double_double.h"

namespace quelmar::maths::sin_detail {

// |x| = (step + 1024 n) pi/512 + t for some integer n, with
// |t| <= pi/1024 (1 + 2^-27) and |t - (t.hi + t.lo)| <= t_error; t.lo is at
// most half an ulp of t.hi.
struct Reduction {
    std::uint32_t step;  // 0 .. 1023
    DoubleDouble t;
    double t_error;
};

// Below this the reduction subtracts multiples of pi/512 in three parts
// (Cody and Waite); from it on it multiplies by the bits of 2/pi (Payne and
// Hanek).
constexpr double kModerateLimit = 0x1p16;

// For 0 <= ax < kModerateLimit.
Reduction reduce_moderate(double ax) noexcept;

// The quick tier's reduction, for 0 <= ax < kQuickLimit, in two parts:
// |t - (t.hi + t.lo)| <= kQuickReductionError, |t.lo| < 2^-30.65 but not
// normalized (t_error is left 0: the tier's bound below includes it).
constexpr double kQuickLimit = 0x1p8;
constexpr double kQuickReductionError = 0x1.1p-83;
Reduction reduce_quick(double ax) noexcept;

// The accurate tier's reduction, for 0 <= ax < kModerateLimit: t
// normalized, within t_error (2^-112, absolute). From kModerateLimit on,
// reduce_large's result serves the accurate tier as it is.
Reduction reduce_accurate(double ax) noexcept;

// For a finite ax >= 1 (used from kModerateLimit on).
Reduction reduce_large(double ax) noexcept;

// sin(step pi/512 + t) = value within error (t taken as exact within its
// t_error, which error includes).
struct Approximation {
    DoubleDouble value;
    double error;
};
Approximation evaluate(const Reduction& r) noexcept;

// The quick tier's evaluation: sin(step pi/512 + t) = value within
// kQuickRelativeError |value| + kQuickAbsoluteError for a reduction from
// reduce_quick (error left 0). The bounds are widened as round_normal takes
// them.
constexpr double kQuickRelativeError = 0x1.1p-65;
constexpr double kQuickAbsoluteError = 0x1p-82;
Approximation evaluate_quick(const Reduction& r) noexcept;

// The accurate tier's evaluation, in double-double: within 2^-99 relative
// and the reduction's error (slightly enlarged).
Approximation evaluate_accurate(const Reduction& r) noexcept;

// The correctly rounded sin(x) in multiprecision arithmetic, for any finite
// x other than zero: the exact path for the arguments the fast path's
// rounding test leaves undecided.
double sin_exact(double x) noexcept;

// sin for the arguments the quick tier leaves: the former path, then the
// exact one.
double sin_other(double x) noexcept;

}  // namespace quelmar::maths::sin_detail
