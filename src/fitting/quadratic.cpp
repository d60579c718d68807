#include "fitting/quadratic.h"

#include <cstddef>

#include "base/failures.h"
#include "base/messages.h"

namespace quelmar {

Matrix quadratic_fit_operator(const Vector& x) {
    const std::size_t n = x.size();
    // Three coefficients need at least three samples. With none or one the
    // normal matrix is exactly singular and the inversion below fails; with
    // two it is singular as well, but rounding leaves a tiny pivot that the
    // elimination accepts and the "fit" is an arbitrary parabola that need
    // not even pass through the two samples. Refuse all of these alike, with
    // the product-shape message that a failed inversion leads to.
    if (n < 3) fail_invalid_argument(msg::kMatrixProductShape);
    Matrix design(n, 3);
    for (std::size_t i = 0; i < n; ++i) {
        design(i, 0) = x[i] * x[i];
        design(i, 1) = x[i];
        design(i, 2) = 1.0;
    }
    Matrix design_t = design;
    design_t.transpose();
    Matrix op = design_t;
    op *= design;
    // A singular normal matrix is not tested here: invert then leaves the
    // 3 x 6 elimination state behind, and the product below refuses it by
    // its shape, which is how degenerate samples are reported.
    static_cast<void>(op.invert());
    op *= design_t;
    return op;
}

void quadratic_least_squares(const Vector& x, const Vector& y, Vector& coeffs) {
    const Matrix op = quadratic_fit_operator(x);
    multiply(op, y, coeffs);
}

}  // namespace quelmar
