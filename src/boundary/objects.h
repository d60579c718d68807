// The objects a host holds between calls (peak sets and fit handles): built
// in blocks of the library's allocator, so that they can be handed out and
// given back through their release exports.
#pragma once

#include <memory>
#include <new>
#include <utility>

#include "base/allocator.h"

namespace quelmar {

template <class T, class... Args>
T* create_object(Args&&... args) {
    void* block = allocate_bytes(sizeof(T));
    try {
        return new (block) T{std::forward<Args>(args)...};
    } catch (...) {
        release_block(block);
        throw;
    }
}

template <class T>
void destroy_object(T* object) noexcept {
    if (object == nullptr) return;
    object->~T();
    release_block(object);
}

template <class T>
struct ObjectRelease {
    void operator()(T* object) const noexcept { destroy_object(object); }
};

// An object being built for the host: released again unless handed out,
// so that a call that fails half-way leaves nothing behind.
template <class T>
using OwnedObject = std::unique_ptr<T, ObjectRelease<T>>;

template <class T, class... Args>
OwnedObject<T> make_owned(Args&&... args) {
    return OwnedObject<T>(create_object<T>(std::forward<Args>(args)...));
}

}  // namespace quelmar
