// Moving results across the C boundary.
#pragma once

#include <algorithm>
#include <cstddef>
#include <utility>

#include "base/allocator.h"
#include "numeric/vector.h"

namespace quelmar {

// Copies a result into a caller-owned array of at least v.size() doubles.
inline void copy_out(const Vector& v, double* out) noexcept { std::copy_n(v.data(), v.size(), out); }

// A block for the caller, released again unless handed out: a call that
// fails after allocating it leaves no memory with the caller.
class HandedArray {
public:
    explicit HandedArray(const Vector& v) : block_(allocate_doubles(v.size())), count_(v.size()) {
        copy_out(v, block_);
    }
    HandedArray(const HandedArray&) = delete;
    HandedArray& operator=(const HandedArray&) = delete;
    ~HandedArray() { release_block(block_); }

    std::size_t size() const noexcept { return count_; }
    // Gives up ownership; the caller frees it with alg_darray_release.
    double* hand_out() noexcept { return std::exchange(block_, nullptr); }

private:
    double* block_;
    std::size_t count_;
};

}  // namespace quelmar
