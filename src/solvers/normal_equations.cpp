#include "solvers/normal_equations.h"

#include <cstddef>

namespace quelmar {

void NormalEquations::form(const Matrix& jacobian, const Vector& residual) {
    const std::size_t m = jacobian.rows();
    const std::size_t n = jacobian.cols();
    normal_.assign_fill(0.0, n, n);
    gradient_.assign_fill(0.0, n);
    // A is symmetric to the bit, each product J(k, i) J(k, j) being the same
    // either way round and summed in the same order: only its upper triangle
    // is summed, and mirrored.
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = i; j < n; ++j) {
            double sum = 0.0;
            for (std::size_t k = 0; k < m; ++k) sum += jacobian(k, i) * jacobian(k, j);
            normal_(i, j) = sum;
            normal_(j, i) = sum;
        }
        double sum = 0.0;
        for (std::size_t k = 0; k < m; ++k) sum += jacobian(k, i) * residual[k];
        gradient_[i] = sum;
    }
}

bool NormalEquations::solve(double damping, Vector& step) {
    const std::size_t n = normal_.rows();
    augmented_.assign_fill(0.0, n, 2 * n);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) {
            const double identity = i == j ? 1.0 : 0.0;
            augmented_(i, j) = normal_(i, j) + identity * damping;
            augmented_(i, n + j) = identity;
        }
    // A fit without parameters never comes here: its gradient vanishes at
    // the start.
    if (!augmented_.gauss_jordan()) return false;
    step.assign_fill(0.0, n);
    for (std::size_t i = 0; i < n; ++i) {
        double sum = 0.0;
        for (std::size_t j = 0; j < n; ++j) sum += -augmented_(i, n + j) * gradient_[j];
        step[i] = sum;
    }
    return true;
}

}  // namespace quelmar
