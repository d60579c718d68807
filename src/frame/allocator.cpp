#include "frame/allocator.h"

#include <cstdint>
#include <cstdlib>
#include <new>

#include "frame/messages.h"

namespace quelmar {
namespace {

// The standard allocation failures, worded as the host's runtime words them.
class AllocationFailure final : public std::bad_alloc {
public:
    const char* what() const noexcept override { return msg::kBadAllocation; }
};

class ArrayLengthFailure final : public std::bad_array_new_length {
public:
    const char* what() const noexcept override { return msg::kBadArrayNewLength; }
};

}  // namespace

std::size_t double_array_bytes(std::size_t n) noexcept {
    if (n > SIZE_MAX / sizeof(double)) return SIZE_MAX;
    return n * sizeof(double);
}

void* allocate_bytes(std::size_t bytes) {
    const std::size_t request = bytes == 0 ? 1 : bytes;
    for (;;) {
        // A request for SIZE_MAX bytes can never succeed; skipping the call
        // keeps memory checkers from aborting on it.
        void* block = request == SIZE_MAX ? nullptr : std::malloc(request);
        if (block != nullptr) return block;
        std::new_handler handler = std::get_new_handler();
        if (handler == nullptr) {
            if (request == SIZE_MAX) throw ArrayLengthFailure();
            throw AllocationFailure();
        }
        handler();
    }
}

void release_block(void* block) noexcept { std::free(block); }

}  // namespace quelmar
