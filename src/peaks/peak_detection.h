// Detection of melting peaks and the initial coefficients of the fit.
#pragma once

#include <cstddef>

#include "numeric/vector.h"
#include "peaks/peak_objects.h"

namespace quelmar {

// The positions of the detected maxima, ascending, in a block of the
// library's allocator.
class IndexList {
public:
    IndexList() noexcept = default;
    explicit IndexList(std::size_t count);
    IndexList(const IndexList&) = delete;
    IndexList& operator=(const IndexList&) = delete;
    IndexList(IndexList&& other) noexcept;
    IndexList& operator=(IndexList&& other) noexcept;
    ~IndexList();

    std::size_t size() const noexcept { return size_; }
    std::size_t operator[](std::size_t i) const noexcept { return data_[i]; }
    std::size_t& operator[](std::size_t i) noexcept { return data_[i]; }

private:
    std::size_t* data_ = nullptr;
    std::size_t size_ = 0;
};

// The strict local maxima of v: every j with v[j] > v[j-1] and v[j+1] < v[j]
// (judged by the signs of the differences). The first and the last value are
// never maxima, and a curve of fewer than three values has none.
IndexList local_max_indices(const Vector& v);

// Fills an empty set with one peak per maximum of the handle's y: its height,
// its temperature, and a width estimated from the curve's height
// peak_width * 1.3 away from it. A maximum that is not above zero is a
// std::overflow_error; a handle with fewer than four temperatures, an x
// shorter than y, or a width window that leaves the data is refused.
void estimate_peaks(const MgfHandle& handle, GaussCoeff& set);

// Fills an empty set with one peak per maximum of y, centred at x, all of
// width 1.7. An x shorter than y is refused.
void raw_peaks(const Vector& x, const Vector& y, GaussCoeff& set);

}  // namespace quelmar
