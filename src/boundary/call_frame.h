// The frame that every exported function runs its work in.
//
// It clears the last-error text, runs the work, and turns any exception into
// a result code and a message, so that no exception ever crosses the C
// interface. Work that hands memory to the caller keeps it in owning objects
// until the very end, so a failure releases it on the way out.
#pragma once

#include "QuelmarAlg.h"

namespace quelmar {

void clear_last_error() noexcept;
const char* last_error_text() noexcept;
// Bounded copy of at most 255 bytes; the rest of the buffer is zero-filled.
void set_last_error(const char* text) noexcept;

// What the host is told of a failure: its result code and its message.
struct HostFailure {
    int code;
    const char* message;
};

// The one mapping from a failure to its result code, for the exception being
// handled (call it inside a handler only; the message lives as long as the
// exception): std::invalid_argument gives ALG_ERR_INVALID_ARGUMENT,
// std::out_of_range and std::range_error ALG_ERR_OUT_OF_RANGE, anything else
// ALG_ERR_FAILURE, the allocation failures worded alike whichever part of the
// runtime raised them.
HostFailure current_failure() noexcept;

template <class Work>
int call_frame(Work&& work) noexcept {
    clear_last_error();
    try {
        work();
        return ALG_OK;
    } catch (...) {
        const HostFailure failure = current_failure();
        set_last_error(failure.message);
        return failure.code;
    }
}

}  // namespace quelmar
