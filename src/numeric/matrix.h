// Matrix: the owning dense row-major table of doubles, with the algebra the
// least-squares fits solve their normal equations with.
//
// Shape and index checks raise their exception before anything is modified.
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

    // Element (r, c) is values[c * rows + r]: one column after another, as
    // a plate holds one well's curve after another.
    static Matrix from_column_major(const double* values, std::size_t rows, std::size_t cols);

    void assign_fill(double value, std::size_t rows, std::size_t cols);

    std::size_t rows() const noexcept { return rows_; }
    std::size_t cols() const noexcept { return cols_; }
    // The elements, row after row.
    const Vector& elements() const noexcept { return data_; }

    // Checked access.
    double& at(std::size_t r, std::size_t c);
    double at(std::size_t r, std::size_t c) const;
    // Unchecked access for loops whose bounds are the matrix's own.
    double& operator()(std::size_t r, std::size_t c) noexcept { return data_[r * cols_ + c]; }
    double operator()(std::size_t r, std::size_t c) const noexcept { return data_[r * cols_ + c]; }

    Vector row(std::size_t i) const;
    Vector col(std::size_t j) const;
    void set_row(std::size_t i, const Vector& v);
    void set_col(std::size_t j, const Vector& v);
    // Copies column j into out (no range test), reusing out's storage.
    void copy_col_into(std::size_t j, Vector& out) const;
    void swap_rows(std::size_t i, std::size_t j);
    // Keeps columns begin .. end-1; an empty range is refused.
    void keep_columns(std::size_t begin, std::size_t end);
    void transpose();
    Matrix& operator+=(const Matrix& other);

    // this = this * other, accumulated i outer, j middle, k inner.
    Matrix& operator*=(const Matrix& other);
    // this = [this | other].
    void append_columns(const Matrix& other);
    // Row-echelon form by partial pivoting; false when a pivot column is zero
    // (the matrix then keeps the state it reached).
    bool forward_eliminate();
    // Gauss-Jordan inverse; false when elimination fails, and the matrix is
    // then left as the n x 2n intermediate.
    bool invert();
    // The elimination and back substitution of invert() on a matrix that
    // already holds [A | I] (n x 2n), leaving [I | A^-1]. Lets a caller that
    // inverts many matrices of one size keep the augmented storage.
    bool gauss_jordan();

private:
    Vector data_;
    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
};

// out = m * v, each element summed from 0.0 over ascending columns.
void multiply(const Matrix& m, const Vector& v, Vector* out);

// A function of the parameters whose value vector the fits drive to zero.
// context is passed through unchanged; out is replaced by the value vector.
using ResidualFunction = void (*)(const void* context, const Vector& params, Vector& out);

// Central-difference Jacobian with step 5e-8, J becoming m x n. p is left
// with every element shifted by the step: callers that need it unchanged
// pass a copy.
void numerical_jacobian(ResidualFunction f, const void* context, Vector& p, Matrix& jacobian);

}  // namespace quelmar
