#include "base/allocator.h"

#include <cstdlib>
#include <new>

#include "base/messages.h"

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
