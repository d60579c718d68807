// Moving results across the C boundary: copies into caller arrays, arrays
// handed out with their counts, and the releases that take them back.
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
    // What an empty result becomes: a block of its own (which the caller
    // releases like any other), or no block at all, a null pointer.
    enum class Empty { kBlock, kNull };

    explicit HandedArray(const Vector& v, Empty empty = Empty::kBlock)
        : block_(v.empty() && empty == Empty::kNull ? nullptr : allocate_doubles(v.size())), count_(v.size()) {
        if (block_ != nullptr) copy_out(v, block_);
    }
    HandedArray(const HandedArray&) = delete;
    HandedArray& operator=(const HandedArray&) = delete;
    ~HandedArray() { release_block(block_); }

    std::size_t size() const noexcept { return count_; }
    // Gives up ownership; the caller frees it with alg_darray_release.
    double* hand_out() noexcept { return std::exchange(block_, nullptr); }
    // The same into the caller's pair of out-parameters, count first.
    void hand_out(double** values, std::size_t* count) noexcept {
        *count = count_;
        *values = hand_out();
    }

private:
    double* block_;
    std::size_t count_;
};

// Hands out a copy of v with its count; nothing is written when the copy
// cannot be made.
inline void hand_out(const Vector& v, double** values, std::size_t* count) { HandedArray(v).hand_out(values, count); }

// What every release export does: frees what the caller's pointer points to
// and nulls the pointer. A null slot, or a null pointer in it, is nothing to
// release.
template <class T, class Release>
void release_slot(T** slot, Release release) noexcept {
    if (slot == nullptr || *slot == nullptr) return;
    release(*slot);
    *slot = nullptr;
}

}  // namespace quelmar
