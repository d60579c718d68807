#include "base/failures.h"

#include <stdexcept>

namespace quelmar {

void fail_invalid_argument(const char* message) { throw std::invalid_argument(message); }

void fail_out_of_range(const char* message) { throw std::out_of_range(message); }

void fail_reversed_range(const char* message) { throw std::range_error(message); }

void fail_overflow(const char* message) { throw std::overflow_error(message); }

}  // namespace quelmar
