// Exports of the melting curve analysis.
#include "QuelmarAlg.h"
#include "boundary/handed_array.h"
#include "boundary/call_frame.h"
#include "melting/melting_derivative.h"
#include "melting/normalization.h"
#include "numeric/vector.h"

using quelmar::Vector;

extern "C" {

QUELMARALG_API int alg_melting(size_t count, const double* temperature, const double* fluorescence,
                               size_t* outCount, double** outTemperature, double** outDerivative) {
    return quelmar::call_frame([&] {
        const Vector t = Vector::copy_of(temperature, count);
        const Vector f = Vector::copy_of(fluorescence, count);
        Vector grid, derivative;
        quelmar::melting_derivative(t, f, grid, derivative);
        // Both blocks exist before either is handed out: if the second one
        // cannot be had, the first is freed and the caller gets nothing.
        quelmar::HandedArray grid_block(grid);
        quelmar::HandedArray derivative_block(derivative);
        grid_block.hand_out(outTemperature, outCount);
        *outDerivative = derivative_block.hand_out();
    });
}

QUELMARALG_API int alg_melting_normalization(double* values, size_t n) {
    return quelmar::call_frame([&] {
        Vector curve = Vector::copy_of(values, n);
        quelmar::melting_normalization(curve);
        quelmar::copy_out(curve, values);
    });
}

}  // extern "C"
