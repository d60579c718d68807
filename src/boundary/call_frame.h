// The frame that every exported function runs its work in.
//
// It clears the last-error text, runs the work, and turns any exception into
// a result code and a message, so that no exception ever crosses the C
// interface. Work that hands memory to the caller keeps it in owning objects
// until the very end, so a failure releases it on the way out.
#pragma once

#include <exception>
#include <new>
#include <stdexcept>

#include "QuelmarAlg.h"
#include "base/messages.h"

namespace quelmar {

void clear_last_error() noexcept;
const char* last_error_text() noexcept;
// Bounded copy of at most 255 bytes; the rest of the buffer is zero-filled.
void set_last_error(const char* text) noexcept;

template <class Work>
int call_frame(Work&& work) noexcept {
    clear_last_error();
    try {
        work();
        return ALG_OK;
    } catch (const std::invalid_argument& e) {
        set_last_error(e.what());
        return ALG_ERR_INVALID_ARGUMENT;
    } catch (const std::out_of_range& e) {
        set_last_error(e.what());
        return ALG_ERR_OUT_OF_RANGE;
    } catch (const std::range_error& e) {
        set_last_error(e.what());
        return ALG_ERR_OUT_OF_RANGE;
    } catch (const std::bad_array_new_length&) {
        // Worded the same whichever part of the runtime raised it.
        set_last_error(msg::kBadArrayNewLength);
        return ALG_ERR_FAILURE;
    } catch (const std::bad_alloc&) {
        set_last_error(msg::kBadAllocation);
        return ALG_ERR_FAILURE;
    } catch (const std::exception& e) {
        set_last_error(e.what());
        return ALG_ERR_FAILURE;
    } catch (...) {
        set_last_error(msg::kUnknownException);
        return ALG_ERR_FAILURE;
    }
}

}  // namespace quelmar
