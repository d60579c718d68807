#pragma once

// The elementary functions of the analyses, correctly rounded: each returns
// the double nearest to the exact value (ties to even) for every argument,
// so that a result does not depend on the platform's C library, on fused
// multiply-add or on the x87 control word. They use double and integer
// arithmetic only.
namespace quelmar::maths {

double exp(double x);
double log(double x);
double log10(double x);
double pow(double x, double y);
double sin(double x);

}  // namespace quelmar::maths
