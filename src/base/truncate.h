// Truncation toward zero to a 32-bit signed integer, the way the conversion
// instruction of the host platform does it: a value that is not finite, or
// whose truncation does not fit, gives the most negative value.
#pragma once

#include <cstdint>

namespace quelmar {

inline std::int32_t truncate_to_int32(double v) noexcept {
    if (!(v > -2147483649.0 && v < 2147483648.0)) return INT32_MIN;
    return static_cast<std::int32_t>(v);
}

}  // namespace quelmar
