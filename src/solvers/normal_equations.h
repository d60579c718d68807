// The normal equations of a damped least-squares step, shared by both fits:
// A = J^T J and g = J^T r from the Jacobian J and the residual r, and the step
// h = -(A + damping I)^-1 g.
//
// The arithmetic is that of transposing J, forming the matrix products,
// adding the damping on the diagonal, inverting by Gauss-Jordan with partial
// pivoting and multiplying the negated inverse into g, operation for
// operation; only the temporary matrices those operations would allocate on
// every step are avoided.
#pragma once

#include "numeric/matrix.h"
#include "numeric/vector.h"

namespace quelmar {

class NormalEquations {
public:
    // A and g at (J, r): every element summed from 0.0 over ascending rows of J.
    void form(const Matrix& jacobian, const Vector& residual);
    const Matrix& normal() const noexcept { return normal_; }
    const Vector& gradient() const noexcept { return gradient_; }

    // The damped step; false, with step untouched, when A + damping I is
    // singular. One whose only zero pivot is the last passes, and gives a
    // step of infinities and NaNs instead.
    [[nodiscard]] bool solve(double damping, Vector& step);

private:
    Matrix normal_;
    Vector gradient_;
    Matrix augmented_;  // [A + damping I | I]
};

}  // namespace quelmar
