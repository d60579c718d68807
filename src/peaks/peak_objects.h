// The two objects of the peak decomposition that live between calls: a set of
// Gaussian peaks and the fit handle over a melting peak curve.
//
// The public header declares both as opaque structs at global scope, so they
// are defined there too. The host owns them through the pointers the creating
// exports hand out; they come from the library's allocator and go back to it
// only through their release exports.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <utility>

#include "QuelmarAlg.h"
#include "frame/allocator.h"
#include "numeric/vector.h"

// Peak i is amplitude[i] * exp(-(t - center[i])^2 / (2 sigma[i]^2)). The
// fields are meant to be equally long, but the set stores whatever it is
// given; every routine that reads it checks what it needs.
struct GaussCoeff {
    quelmar::Vector amplitude;
    quelmar::Vector center;
    quelmar::Vector sigma;
};

// A melting peak curve: temperatures x, values y, and the host's options, of
// which only peak_width is read. Never changed after creation.
struct MgfHandle {
    quelmar::Vector x;
    quelmar::Vector y;
    MgfOptions options;
};

namespace quelmar {

// Builds an object in a block of the library's allocator, so that it can be
// handed to the host and released through the matching export.
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

// The number of peaks of a set is the length of its centres. Refuses a set
// whose heights or widths are shorter, which would otherwise be read past
// their end.
std::size_t peak_count(const GaussCoeff& set);

}  // namespace quelmar
