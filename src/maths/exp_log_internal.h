#pragma once

// The evaluation cores shared by exp, log, log10 and pow: each returns an
// approximation with a proved bound on its relative error, and the callers
// decide the rounding with round_scaled (rounding.h).
#include "maths/double_double.h"

namespace quelmar::maths::detail {

// 2^exponent * value.
struct ScaledDoubleDouble {
  DoubleDouble value;
  int exponent;
};

// exp(t.hi + t.lo) for |t.hi| <= 746 and |t.lo| <= ulp(t.hi): the result is
// 2^exponent * value with value in [0.7, 1.5), within kExpFastError
// (relative) of the exponential of t.hi + t.lo taken as exact.
constexpr double kExpFastError = 0x1p-67;
ScaledDoubleDouble exp_fast(DoubleDouble t) noexcept;

// The same within kExpAccurateError.
constexpr double kExpAccurateError = 0x1p-100;
ScaledDoubleDouble exp_accurate(DoubleDouble t) noexcept;

// ln(x) for a positive finite x other than 1 (subnormals included), within
// error (absolute), and at worst within 2^-65 relative (next to 1).
struct LogApproximation {
  DoubleDouble value;
  double error;
};
LogApproximation log_fast(double x) noexcept;

// The same within kLogAccurateError relative.
constexpr double kLogAccurateError = 0x1p-99;
DoubleDouble log_accurate(double x) noexcept;

// The correctly rounded results for the arguments that both Ziv tests
// leave undecided, in multiprecision arithmetic (exp_log_exact.cpp).
double exp_exact(double x) noexcept;
double log_exact(double x) noexcept;
double log10_exact(double x) noexcept;
double pow_exact(double x, double y) noexcept;

}  // namespace quelmar::maths::detail
