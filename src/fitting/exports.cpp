// Exports of the smoothing and fitting routines.
#include "QuelmarAlg.h"
#include "fitting/moving_average.h"
#include "frame/boundary.h"
#include "frame/call_frame.h"
#include "numeric/vector.h"

#include <stdexcept>

using quelmar::Vector;

extern "C" {

QUELMARALG_API int alg_super_smooth(double* data, size_t count, int half_window) {
    return quelmar::call_frame([&] {
        Vector v = Vector::copy_of(data, count);
        quelmar::moving_average(v, half_window);
        quelmar::copy_out(v, data);
    });
}

QUELMARALG_API int alg_increasing(double start, double step, size_t length, double* out) {
    return quelmar::call_frame([&] {
        if (length == 0) throw std::invalid_argument(quelmar::msg::kLengthZero);
        Vector v;
        v.assign_sequence(start, step, length);
        quelmar::copy_out(v, out);
    });
}

}  // extern "C"
