// Least-squares parabolas: the fit behind the running smooth and the
// sample-data fitting export.
//
// A parabola is held as three coefficients [c0, c1, c2], highest power first:
// c0 * x^2 + c1 * x + c2.
#pragma once

#include "numeric/matrix.h"
#include "numeric/vector.h"

namespace quelmar {

// The 3 x n matrix (X^T X)^-1 X^T of the normal equations for the abscissae
// x, formed before any observation is applied: applying it to y gives the
// coefficients. It depends on x alone, so a caller fitting many sample sets
// at the same abscissae can form it once. Raises invalid_argument
// (kMatrixProductShape) for fewer than three abscissae, and likewise when
// X^T X cannot be inverted.
Matrix quadratic_fit_operator(const Vector& x);

// coeffs = ((X^T X)^-1 X^T) * y. The product order is part of the result:
// (X^T X)^-1 (X^T y) differs in the low-order bits. Raises what
// quadratic_fit_operator raises, then invalid_argument (kMatrixVectorShape)
// when y is not as long as x; coeffs is replaced only on success.
void quadratic_least_squares(const Vector& x, const Vector& y, Vector& coeffs);

// The parabola at one abscissa, evaluated as ((x * x) * c0 + x * c1) + c2.
inline double quadratic_value(double c0, double c1, double c2, double x) noexcept {
    return ((x * x) * c0 + x * c1) + c2;
}

}  // namespace quelmar
