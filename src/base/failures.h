// How the library fails. Every failure is one of the standard exception
// classes carrying one of the texts of base/messages.h; the call frame of the
// boundary turns the class into the host's result code. Each helper is named
// for the code the host then sees, so that a failure site reads as what the
// host is told.
#pragma once

namespace quelmar {

// std::invalid_argument, ALG_ERR_INVALID_ARGUMENT (10): an argument or the
// data is refused.
[[noreturn]] void fail_invalid_argument(const char* message);

// std::out_of_range, ALG_ERR_OUT_OF_RANGE (20): an index or a parameter lies
// outside what it indexes.
[[noreturn]] void fail_out_of_range(const char* message);

// std::range_error, also ALG_ERR_OUT_OF_RANGE (20): a range whose begin lies
// after its end.
[[noreturn]] void fail_reversed_range(const char* message);

// std::overflow_error, ALG_ERR_FAILURE (100): the data cannot be analysed at
// all, which no other argument would mend.
[[noreturn]] void fail_overflow(const char* message);

}  // namespace quelmar
