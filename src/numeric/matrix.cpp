#include <utility>

#include "base/allocator.h"
#include "numeric/matrix.h"

namespace quelmar {

// A size whose element count overflows asks the allocator for the largest
// count, which it refuses.
Matrix::Matrix(std::size_t rows, std::size_t cols, double fill)
    : data_(checked_product(rows, cols), fill), rows_(rows), cols_(cols) {}

Matrix::Matrix(Matrix&& other) noexcept
    : data_(std::move(other.data_)),
      rows_(std::exchange(other.rows_, 0)),
      cols_(std::exchange(other.cols_, 0)) {}

Matrix& Matrix::operator=(Matrix&& other) noexcept {
    if (this != &other) {
        data_ = std::move(other.data_);
        rows_ = std::exchange(other.rows_, 0);
        cols_ = std::exchange(other.cols_, 0);
    }
    return *this;
}

void Matrix::assign_fill(double value, std::size_t rows, std::size_t cols) {
    data_.assign_fill(value, checked_product(rows, cols));
    rows_ = rows;
    cols_ = cols;
}

void Matrix::set_col(std::size_t j, const Vector& v) noexcept {
    for (std::size_t r = 0; r < rows_; ++r) (*this)(r, j) = v[r];
}

void Matrix::swap_rows(std::size_t i, std::size_t j) noexcept {
    for (std::size_t c = 0; c < cols_; ++c) std::swap((*this)(i, c), (*this)(j, c));
}

void Matrix::transpose() {
    Matrix t(cols_, rows_);
    for (std::size_t r = 0; r < rows_; ++r)
        for (std::size_t c = 0; c < cols_; ++c) t(c, r) = (*this)(r, c);
    *this = std::move(t);
}

}  // namespace quelmar
