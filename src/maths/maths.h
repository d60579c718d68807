#pragma once

// The elementary functions of the analyses, correctly rounded: each returns
// the double nearest to the exact value (ties to even) for every argument,
// so that a result does not depend on the platform's C library, on fused
// multiply-add or on the x87 control word. They use double and integer
// arithmetic only, allocate nothing and keep no state: they never fail and
// may be called from any thread.
namespace quelmar::maths {

double exp(double x) noexcept;
double log(double x) noexcept;
double log10(double x) noexcept;
double pow(double x, double y) noexcept;
double sin(double x) noexcept;

}  // namespace quelmar::maths
