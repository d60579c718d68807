#include <cstring>

#include "boundary/call_frame.h"

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

}  // namespace quelmar
