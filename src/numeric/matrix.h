// Matrix: the owning dense row-major table of doubles, with the algebra the
// least-squares fits solve their normal equations with.
//
// Shape checks raise their exception before anything is modified; element
// access is unchecked, and callers keep their indices inside the matrix.
// The order of floating-point operations in the algebra is fixed: fits must
// reproduce the same numbers on every run and every machine.
#pragma once

#include <cstddef>

#include "numeric/vector.h"

namespace quelmar {

class Matrix {
public:
    Matrix() noexcept = default;
    Matrix(std::size_t rows, std::size_t cols, double fill = 0.0);
    Matrix(const Matrix& other) = default;
    Matrix(Matrix&& other) noexcept;
    Matrix& operator=(const Matrix& other) = default;
    Matrix& operator=(Matrix&& other) noexcept;
    ~Matrix() = default;

    void assign_fill(double value, std::size_t rows, std::size_t cols);

    std::size_t rows() const noexcept { return rows_; }
    std::size_t cols() const noexcept { return cols_; }
    // The elements, row after row.
    const Vector& elements() const noexcept { return data_; }

    double& operator()(std::size_t r, std::size_t c) noexcept { return data_[r * cols_ + c]; }
    double operator()(std::size_t r, std::size_t c) const noexcept { return data_[r * cols_ + c]; }

    // Column j from v (as long as a column).
    void set_col(std::size_t j, const Vector& v) noexcept;
    void transpose();

    // this = this * other, accumulated i outer, j middle, k inner.
    Matrix& operator*=(const Matrix& other);
    // Gauss-Jordan inverse; false when elimination meets a zero pivot column,
    // and the matrix is then left as the n x 2n intermediate [A | I].
    bool invert();
    // The elimination and back substitution of invert() on a matrix that
    // already holds [A | I] (n x 2n), leaving [I | A^-1]. Lets a caller that
    // inverts many matrices of one size keep the augmented storage.
    bool gauss_jordan();

private:
    // Row-echelon form by partial pivoting; false when a pivot column is zero
    // (the matrix then keeps the state it reached).
    bool forward_eliminate();
    void swap_rows(std::size_t i, std::size_t j) noexcept;

    Vector data_;
    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
};

// out = m * v, each element summed from 0.0 over ascending columns; out is
// replaced only on success.
void multiply(const Matrix& m, const Vector& v, Vector& out);

}  // namespace quelmar
