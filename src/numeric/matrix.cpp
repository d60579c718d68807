#include <cstdint>
#include <stdexcept>
#include <utility>

#include "frame/messages.h"
#include "numeric/matrix.h"

namespace quelmar {
namespace {

// rows * cols, or a count whose byte size cannot be allocated when the
// product overflows, so that the allocator reports it.
std::size_t element_count(std::size_t rows, std::size_t cols) {
    if (cols != 0 && rows > SIZE_MAX / cols) return SIZE_MAX;
    return rows * cols;
}

}  // namespace

Matrix::Matrix(std::size_t rows, std::size_t cols, double fill)
    : data_(element_count(rows, cols), fill), rows_(rows), cols_(cols) {}

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

Matrix Matrix::from_column_major(const double* values, std::size_t rows, std::size_t cols) {
    Matrix m(rows, cols);
    for (std::size_t r = 0; r < rows; ++r)
        for (std::size_t c = 0; c < cols; ++c) m(r, c) = values[c * rows + r];
    return m;
}

void Matrix::assign_fill(double value, std::size_t rows, std::size_t cols) {
    data_.assign_fill(value, element_count(rows, cols));
    rows_ = rows;
    cols_ = cols;
}

double& Matrix::at(std::size_t r, std::size_t c) {
    if (r >= rows_ || c >= cols_) throw std::out_of_range(msg::kMatrixIndexOutOfRange);
    return (*this)(r, c);
}

double Matrix::at(std::size_t r, std::size_t c) const {
    if (r >= rows_ || c >= cols_) throw std::out_of_range(msg::kMatrixIndexOutOfRange);
    return (*this)(r, c);
}

Vector Matrix::row(std::size_t i) const {
    if (i >= rows_) throw std::out_of_range(msg::kRowOutOfRange);
    return Vector::copy_of(data_.data() + i * cols_, cols_);
}

Vector Matrix::col(std::size_t j) const {
    if (j >= cols_) throw std::out_of_range(msg::kColOutOfRange);
    Vector v;
    copy_col_into(j, v);
    return v;
}

void Matrix::copy_col_into(std::size_t j, Vector& out) const {
    out.assign_fill(0.0, rows_);
    for (std::size_t r = 0; r < rows_; ++r) out[r] = (*this)(r, j);
}

void Matrix::set_row(std::size_t i, const Vector& v) {
    if (i >= rows_) throw std::out_of_range(msg::kRowOutOfRange);
    if (v.size() != cols_) throw std::invalid_argument(msg::kSetRowLength);
    for (std::size_t c = 0; c < cols_; ++c) (*this)(i, c) = v[c];
}

void Matrix::set_col(std::size_t j, const Vector& v) {
    if (j >= cols_) throw std::out_of_range(msg::kColOutOfRange);
    if (v.size() != rows_) throw std::invalid_argument(msg::kSetColLength);
    for (std::size_t r = 0; r < rows_; ++r) (*this)(r, j) = v[r];
}

void Matrix::swap_rows(std::size_t i, std::size_t j) {
    if (i == j) return;
    if (i >= rows_ || j >= rows_) throw std::out_of_range(msg::kRowOutOfRange);
    for (std::size_t c = 0; c < cols_; ++c) std::swap((*this)(i, c), (*this)(j, c));
}

void Matrix::keep_columns(std::size_t begin, std::size_t end) {
    if (begin >= end) throw std::range_error(msg::kKeepColumnsEmpty);
    if (end > cols_) throw std::out_of_range(msg::kKeepColumnsPastEnd);
    Matrix kept(rows_, end - begin);
    for (std::size_t r = 0; r < rows_; ++r)
        for (std::size_t k = 0; k < end - begin; ++k) kept(r, k) = (*this)(r, begin + k);
    *this = std::move(kept);
}

void Matrix::transpose() {
    Matrix t(cols_, rows_);
    for (std::size_t r = 0; r < rows_; ++r)
        for (std::size_t c = 0; c < cols_; ++c) t(c, r) = (*this)(r, c);
    *this = std::move(t);
}

Matrix& Matrix::operator+=(const Matrix& other) {
    if (rows_ != other.rows_ || cols_ != other.cols_) throw std::invalid_argument(msg::kMatrixShapeAdd);
    data_ += other.data_;
    return *this;
}

}  // namespace quelmar
