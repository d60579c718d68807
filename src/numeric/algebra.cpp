// Products, elimination and inversion. The fits solve their normal equations
// with these, and the order of every floating-point operation here is part
// of their results.
#include <cmath>
#include <utility>

#include "base/messages.h"
#include "base/failures.h"
#include "numeric/matrix.h"

namespace quelmar {

Matrix& Matrix::operator*=(const Matrix& other) {
    if (cols_ != other.rows_) fail_invalid_argument(msg::kMatrixProductShape);
    Matrix product(rows_, other.cols_);
    for (std::size_t i = 0; i < rows_; ++i)
        for (std::size_t j = 0; j < other.cols_; ++j) {
            double sum = 0.0;
            for (std::size_t k = 0; k < cols_; ++k) sum += (*this)(i, k) * other(k, j);
            product(i, j) = sum;
        }
    *this = std::move(product);
    return *this;
}

void multiply(const Matrix& m, const Vector& v, Vector& out) {
    if (m.cols() != v.size()) fail_invalid_argument(msg::kMatrixVectorShape);
    Vector result(m.rows());
    for (std::size_t i = 0; i < m.rows(); ++i) {
        double sum = 0.0;
        for (std::size_t j = 0; j < m.cols(); ++j) sum += m(i, j) * v[j];
        result[i] = sum;
    }
    out = std::move(result);
}

bool Matrix::forward_eliminate() {
    const std::size_t n = rows_;
    if (n == 0) return false;
    for (std::size_t k = 0; k + 1 < n; ++k) {
        // Strictly greater than the best so far, starting from 0.0: ties go to
        // the lowest row, and zeros and NaNs are never pivots.
        double best = 0.0;
        std::size_t pivot = n;
        for (std::size_t i = k; i < n; ++i) {
            const double magnitude = std::fabs((*this)(i, k));
            if (magnitude > best) {
                best = magnitude;
                pivot = i;
            }
        }
        if (pivot == n) return false;
        if (pivot != k) swap_rows(k, pivot);
        // Row k is not changed below, so it serves as the pivot row directly.
        for (std::size_t i = k + 1; i < n; ++i) {
            const double factor = (*this)(i, k) / (*this)(k, k);
            for (std::size_t c = 0; c < cols_; ++c) (*this)(i, c) -= (*this)(k, c) * factor;
        }
    }
    // The last diagonal element is deliberately not tested.
    return true;
}

bool Matrix::invert() {
    if (rows_ != cols_) fail_invalid_argument(msg::kNotSquare);
    const std::size_t n = rows_;
    Matrix augmented(n, 2 * n);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) augmented(i, j) = (*this)(i, j);
        augmented(i, n + i) = 1.0;
    }
    if (!augmented.gauss_jordan()) {
        *this = std::move(augmented);
        return false;
    }
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) (*this)(i, j) = augmented(i, n + j);
    return true;
}

bool Matrix::gauss_jordan() {
    const std::size_t n = rows_;
    if (!forward_eliminate()) return false;
    for (std::size_t k = n; k-- > 0;) {
        // Scale by the reciprocal, not by division.
        const double s = 1.0 / (*this)(k, k);
        for (std::size_t c = 0; c < cols_; ++c) (*this)(k, c) *= s;
        for (std::size_t i = 0; i < k; ++i) {
            const double t = (*this)(i, k);
            for (std::size_t c = 0; c < cols_; ++c) (*this)(i, c) -= (*this)(k, c) * t;
        }
    }
    return true;
}

}  // namespace quelmar
