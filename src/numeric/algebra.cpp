// Products, concatenation, elimination, inversion and the Jacobian. The
// fits solve their normal equations with these, and the order of every
// floating-point operation here is part of their results.
#include <cmath>
#include <stdexcept>
#include <utility>

#include "frame/messages.h"
#include "numeric/matrix.h"

namespace quelmar {

Matrix& Matrix::operator*=(const Matrix& other) {
    if (cols_ != other.rows_) throw std::invalid_argument(msg::kMatrixProductShape);
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

void multiply(const Matrix& m, const Vector& v, Vector* out) {
    if (out == nullptr) throw std::invalid_argument(msg::kOutNull);
    if (m.cols() != v.size()) throw std::invalid_argument(msg::kMatrixVectorShape);
    Vector result(m.rows());
    for (std::size_t i = 0; i < m.rows(); ++i) {
        double sum = 0.0;
        for (std::size_t j = 0; j < m.cols(); ++j) sum += m(i, j) * v[j];
        result[i] = sum;
    }
    *out = std::move(result);
}

void Matrix::append_columns(const Matrix& other) {
    if (rows_ != other.rows_) throw std::invalid_argument(msg::kAppendRowsDiffer);
    Matrix joined(rows_, cols_ + other.cols_);
    for (std::size_t r = 0; r < rows_; ++r) {
        for (std::size_t c = 0; c < cols_; ++c) joined(r, c) = (*this)(r, c);
        for (std::size_t c = 0; c < other.cols_; ++c) joined(r, cols_ + c) = other(r, c);
    }
    *this = std::move(joined);
}

bool Matrix::forward_eliminate() {
    const std::size_t n = rows_;
    if (n == 0) return false;
    if (n == 1) return true;
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
    if (rows_ != cols_) throw std::invalid_argument(msg::kNotSquare);
    const std::size_t n = rows_;
    Matrix identity(n, n);
    for (std::size_t i = 0; i < n; ++i) identity(i, i) = 1.0;
    append_columns(identity);
    if (!gauss_jordan()) return false;
    keep_columns(n, 2 * n);
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

void numerical_jacobian(ResidualFunction f, const void* context, Vector& p, Matrix& jacobian) {
    constexpr double kStep = 5e-8;
    constexpr double kInverseTwoSteps = 1e7;
    Vector value;
    f(context, p, value);
    jacobian.assign_fill(0.0, value.size(), p.size());
    Vector minus;
    Vector plus;
    for (std::size_t j = 0; j < p.size(); ++j) {
        const double centre = p[j];
        p[j] = centre - kStep;
        f(context, p, minus);
        p[j] = centre + kStep;
        f(context, p, plus);
        plus -= minus;
        plus *= kInverseTwoSteps;
        jacobian.set_col(j, plus);
    }
}

}  // namespace quelmar
