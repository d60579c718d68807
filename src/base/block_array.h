// BlockArray: a fixed number of value-initialised elements in one block of
// the library's allocator, for working arrays that are not doubles (index
// lists, arrays of Vectors).
#pragma once

#include <cstddef>
#include <new>
#include <utility>

#include "base/allocator.h"

namespace quelmar {

template <class T>
class BlockArray {
public:
    BlockArray() noexcept = default;

    // A count whose byte size overflows asks for the largest size, which the
    // allocator refuses.
    explicit BlockArray(std::size_t count)
        : items_(static_cast<T*>(allocate_bytes(checked_product(count, sizeof(T))))), count_(count) {
        for (std::size_t i = 0; i < count_; ++i) new (items_ + i) T();
    }

    BlockArray(const BlockArray&) = delete;
    BlockArray& operator=(const BlockArray&) = delete;
    BlockArray(BlockArray&& other) noexcept
        : items_(std::exchange(other.items_, nullptr)), count_(std::exchange(other.count_, 0)) {}
    BlockArray& operator=(BlockArray&&) = delete;
    ~BlockArray() {
        for (std::size_t i = 0; i < count_; ++i) items_[i].~T();
        release_block(items_);
    }

    std::size_t size() const noexcept { return count_; }
    T* data() noexcept { return items_; }
    T& operator[](std::size_t i) noexcept { return items_[i]; }
    const T& operator[](std::size_t i) const noexcept { return items_[i]; }

private:
    T* items_ = nullptr;
    std::size_t count_ = 0;
};

}  // namespace quelmar
