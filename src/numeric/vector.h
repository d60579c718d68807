// Vector: the owning sequence of doubles that all numerical work runs on.
//
// Every check raises its exception before anything is modified. Element
// loops run in ascending index order and sums accumulate one element at a
// time in that order, so results are reproducible bit for bit.
#pragma once

#include <cstddef>

namespace quelmar {

class Vector {
public:
    Vector() noexcept = default;
    explicit Vector(std::size_t n, double fill = 0.0);
    Vector(const Vector& other);
    Vector(Vector&& other) noexcept;
    Vector& operator=(const Vector& other);
    Vector& operator=(Vector&& other) noexcept;
    ~Vector();

    // A vector holding a copy of n doubles from a raw array.
    static Vector copy_of(const double* values, std::size_t n);

    void assign_fill(double value, std::size_t n);
    void assign_copy(const double* values, std::size_t n);
    // start, start + step, ... accumulated one addition at a time.
    void assign_sequence(double start, double step, std::size_t n);

    // Elements begin .. end-1 as a new vector.
    Vector slice(std::size_t begin, std::size_t end) const;

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    double* data() noexcept { return data_; }
    const double* data() const noexcept { return data_; }
    double* begin() noexcept { return data_; }
    double* end() noexcept { return data_ + size_; }
    const double* begin() const noexcept { return data_; }
    const double* end() const noexcept { return data_ + size_; }

    // No range test: callers keep indices below size().
    double& operator[](std::size_t i) noexcept { return data_[i]; }
    const double& operator[](std::size_t i) const noexcept { return data_[i]; }

    Vector& operator+=(const Vector& other);
    Vector& operator-=(const Vector& other);
    Vector& operator+=(double value) noexcept;
    Vector& operator-=(double value) noexcept;
    Vector& operator*=(double value) noexcept;

    // Copies the elements of other into this vector, reusing the storage
    // when the sizes match (so hot loops need not reallocate).
    void copy_from(const Vector& other) { assign_copy(other.data_, other.size_); }

private:
    // Makes room for exactly n elements; the contents are unspecified.
    void resize_uninitialised(std::size_t n);

    double* data_ = nullptr;
    std::size_t size_ = 0;
};

// Sum of a[i] * b[i] from 0.0 in ascending i; sizes must match.
double dot(const Vector& a, const Vector& b);

// Euclidean norm: the square root of dot(v, v).
double norm(const Vector& v);

// Sum of the elements in ascending order divided by the size: NaN when empty.
double mean(const Vector& v) noexcept;

// Sum of squared deviations from the mean (0.0 when empty): the numerator of
// the variance, which callers divide as they need.
double sum_sq_dev(const Vector& v) noexcept;

}  // namespace quelmar
