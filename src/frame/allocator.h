// The one allocator behind every buffer of the library.
//
// Blocks come from the C heap (malloc) because arrays handed to the host are
// given back through alg_darray_release, which frees them with free().
#pragma once

#include <cstddef>

namespace quelmar {

// Returns a block of `bytes` bytes (at least one, so that an empty request
// still yields a distinct, releasable block). When malloc fails the installed
// new-handler is called and the request retried; without a handler, or when
// it throws, the failure is std::bad_alloc ("bad allocation"), or
// std::bad_array_new_length ("bad array new length") for a request of the
// largest size_t value.
void* allocate_bytes(std::size_t bytes);

// Bytes for n doubles; a count whose byte size overflows asks for the largest
// size_t value, which can never be satisfied.
std::size_t double_array_bytes(std::size_t n) noexcept;

inline double* allocate_doubles(std::size_t n) {
    return static_cast<double*>(allocate_bytes(double_array_bytes(n)));
}

void release_block(void* block) noexcept;

}  // namespace quelmar
