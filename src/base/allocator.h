// The one allocator behind every buffer of the library.
//
// Blocks come from the C heap (malloc) because arrays handed to the host are
// given back through alg_darray_release, which frees them with free().
#pragma once

#include <cstddef>
#include <cstdint>

namespace quelmar {

// Returns a block of `bytes` bytes (at least one, so that an empty request
// still yields a distinct, releasable block). When malloc fails the installed
// new-handler is called and the request retried; without a handler, or when
// it throws, the failure is std::bad_alloc ("bad allocation"), or
// std::bad_array_new_length ("bad array new length") for a request of the
// largest size_t value.
void* allocate_bytes(std::size_t bytes);

void release_block(void* block) noexcept;

// a * b, or the largest size_t value when the product overflows: a size that
// no allocation can satisfy, so that an impossible count fails in the
// allocator instead of running on a wrapped-around one.
inline std::size_t checked_product(std::size_t a, std::size_t b) noexcept {
    if (b != 0 && a > SIZE_MAX / b) return SIZE_MAX;
    return a * b;
}

inline double* allocate_doubles(std::size_t n) {
    return static_cast<double*>(allocate_bytes(checked_product(n, sizeof(double))));
}

}  // namespace quelmar
