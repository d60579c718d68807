// Exports of the interpolation routines.
#include "QuelmarAlg.h"
#include "boundary/call_frame.h"
#include "boundary/handed_array.h"
#include "interpolation/cubic_spline.h"
#include "interpolation/refine_grid.h"
#include "numeric/vector.h"

using quelmar::Vector;

extern "C" {

QUELMARALG_API int alg_cubic_interpolation(const double* x, const double* y, size_t n, const double* xq,
                                           double* yq, size_t nq) {
    return quelmar::call_frame([&] {
        const Vector knots_x = Vector::copy_of(x, n);
        const Vector knots_y = Vector::copy_of(y, n);
        const Vector at = Vector::copy_of(xq, nq);
        const quelmar::CubicSpline spline(knots_x, knots_y);
        Vector values(nq);
        for (std::size_t i = 0; i < nq; ++i) values[i] = spline(at[i]);
        quelmar::copy_out(values, yq);
    });
}

QUELMARALG_API int alg_interpolation_x(const double* x, size_t n, size_t factor, double* out) {
    return quelmar::call_frame([&] {
        const Vector abscissae = Vector::copy_of(x, n);
        const Vector grid = quelmar::refine_grid(abscissae, factor);
        quelmar::copy_out(grid, out);
    });
}

}  // extern "C"
