#include "boundary/call_frame.h"

#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>

#include "base/messages.h"

namespace quelmar {
namespace {

// The one piece of process-wide mutable state. Written without locks: with
// concurrent calls a reader may see another thread's message.
char g_last_error[256];

}  // namespace

void clear_last_error() noexcept { g_last_error[0] = '\0'; }

void set_last_error(const char* text) noexcept {
    std::strncpy(g_last_error, text, 255);
    g_last_error[255] = '\0';
}

const char* last_error_text() noexcept { return g_last_error; }

HostFailure current_failure() noexcept {
    // Rethrown to be told apart by class; the handlers are tested in order.
    try {
        throw;
    } catch (const std::invalid_argument& e) {
        return {ALG_ERR_INVALID_ARGUMENT, e.what()};
    } catch (const std::out_of_range& e) {
        return {ALG_ERR_OUT_OF_RANGE, e.what()};
    } catch (const std::range_error& e) {
        return {ALG_ERR_OUT_OF_RANGE, e.what()};
    } catch (const std::bad_array_new_length&) {
        return {ALG_ERR_FAILURE, msg::kBadArrayNewLength};
    } catch (const std::bad_alloc&) {
        return {ALG_ERR_FAILURE, msg::kBadAllocation};
    } catch (const std::exception& e) {
        return {ALG_ERR_FAILURE, e.what()};
    } catch (...) {
        return {ALG_ERR_FAILURE, msg::kUnknownException};
    }
}

}  // namespace quelmar
