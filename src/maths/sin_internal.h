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

// For a finite ax >= 1 (used from kModerateLimit on).
Reduction reduce_large(double ax) noexcept;

// sin(step pi/512 + t) = value within error (t taken as exact within its
// t_error, which error includes).
struct Approximation {
    DoubleDouble value;
    double error;
};
Approximation evaluate(const Reduction& r) noexcept;

// The correctly rounded sin(x) in multiprecision arithmetic, for any finite
// x other than zero: the exact path for the arguments the fast path's
// rounding test leaves undecided.
double sin_exact(double x) noexcept;

}  // namespace quelmar::maths::sin_detail
