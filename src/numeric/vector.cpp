#include "numeric/vector.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

#include "base/allocator.h"
#include "base/failures.h"
#include "base/messages.h"

namespace quelmar {

Vector::Vector(std::size_t n, double fill) { assign_fill(fill, n); }

Vector::Vector(const Vector& other) { assign_copy(other.data_, other.size_); }

Vector::Vector(Vector&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

Vector& Vector::operator=(const Vector& other) {
    if (this != &other) assign_copy(other.data_, other.size_);
    return *this;
}

Vector& Vector::operator=(Vector&& other) noexcept {
    if (this != &other) {
        release_block(data_);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

Vector::~Vector() { release_block(data_); }

Vector Vector::copy_of(const double* values, std::size_t n) {
    Vector v;
    v.assign_copy(values, n);
    return v;
}

void Vector::resize_uninitialised(std::size_t n) {
    if (n == size_) return;
    if (n == 0) {
        release_block(data_);
        data_ = nullptr;
        size_ = 0;
        return;
    }
    // Allocate first: on failure the old content stays as it was.
    double* fresh = allocate_doubles(n);
    release_block(data_);
    data_ = fresh;
    size_ = n;
}

void Vector::assign_fill(double value, std::size_t n) {
    resize_uninitialised(n);
    for (std::size_t i = 0; i < n; ++i) data_[i] = value;
}

void Vector::assign_copy(const double* values, std::size_t n) {
    if (n == size_) {
        // Same size: copy over the existing storage (the source may be it).
        if (values != data_) std::copy_n(values, n, data_);
        return;
    }
    if (n == 0) {
        resize_uninitialised(0);
        return;
    }
    // The source may lie inside the old storage: copy before releasing it.
    double* fresh = allocate_doubles(n);
    std::memcpy(fresh, values, n * sizeof(double));
    release_block(data_);
    data_ = fresh;
    size_ = n;
}

void Vector::assign_sequence(double start, double step, std::size_t n) {
    resize_uninitialised(n);
    if (n == 0) return;
    data_[0] = start;
    for (std::size_t i = 1; i < n; ++i) data_[i] = data_[i - 1] + step;
}

Vector Vector::slice(std::size_t begin, std::size_t end) const {
    if (begin > end) fail_reversed_range(msg::kSliceBeginAfterEnd);
    if (end > size_) fail_out_of_range(msg::kSliceEndOutOfRange);
    return copy_of(data_ + begin, end - begin);
}

Vector& Vector::operator+=(const Vector& other) {
    if (other.size_ != size_) fail_invalid_argument(msg::kVectorLengthAdd);
    for (std::size_t i = 0; i < size_; ++i) data_[i] += other.data_[i];
    return *this;
}

Vector& Vector::operator-=(const Vector& other) {
    if (other.size_ != size_) fail_invalid_argument(msg::kVectorLengthSubtract);
    for (std::size_t i = 0; i < size_; ++i) data_[i] -= other.data_[i];
    return *this;
}

Vector& Vector::operator+=(double value) noexcept {
    for (std::size_t i = 0; i < size_; ++i) data_[i] += value;
    return *this;
}

Vector& Vector::operator-=(double value) noexcept {
    for (std::size_t i = 0; i < size_; ++i) data_[i] -= value;
    return *this;
}

Vector& Vector::operator*=(double value) noexcept {
    for (std::size_t i = 0; i < size_; ++i) data_[i] *= value;
    return *this;
}

double dot(const Vector& a, const Vector& b) {
    if (a.size() != b.size()) fail_invalid_argument(msg::kVectorLengthMultiply);
    double sum = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) sum += a[i] * b[i];
    return sum;
}

double norm(const Vector& v) { return std::sqrt(dot(v, v)); }

double mean(const Vector& v) noexcept {
    double sum = 0.0;
    for (double x : v) sum += x;
    return sum / static_cast<double>(v.size());
}

double sum_sq_dev(const Vector& v) noexcept {
    if (v.empty()) return 0.0;
    const double m = mean(v);
    double sum = 0.0;
    for (double x : v) {
        const double d = x - m;
        sum += d * d;
    }
    return sum;
}

}  // namespace quelmar
