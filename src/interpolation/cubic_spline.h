// Natural cubic spline through sampled points, and resampling onto a grid.
#pragma once

#include <cstddef>

#include "numeric/vector.h"

namespace quelmar {

// The piecewise cubic through n knots (x[i], y[i]) with continuous first and
// second derivatives and zero curvature at both ends. Segment j runs from
// x[j] to x[j+1]: S(t) = a[j] + b[j] dt + c[j] dt^2 + d[j] dt^3, dt = t - x[j].
// The abscissae are expected to ascend without repeats; nothing checks it,
// and repeats give infinite or NaN coefficients rather than an error.
class CubicSpline {
public:
    // Knots (x[i], y[i]); y is as long as x. Refuses fewer than three knots
    // (std::invalid_argument).
    CubicSpline(const Vector& x, const Vector& y);

    std::size_t size() const noexcept { return n_; }
    const Vector& x() const noexcept { return x_; }

    // S(t); outside the knots the end cubics carry on.
    double operator()(double t) const noexcept;

private:
    void compute_coefficients();

    std::size_t n_;
    Vector x_, y_, a_, b_, c_, d_;
};

// The segment used for t, found by bisection: below x[0] segment 0, from
// x[n-1] on segment n-2, a knot x[k] inside opens segment k, and a NaN t
// ends on segment n-2. Always between 0 and n-2, whatever the abscissae.
std::size_t spline_segment(const CubicSpline& spline, double t) noexcept;

// The spline through (x, y) evaluated at every grid point; x and y must
// have the same length.
Vector spline_resample(const Vector& x, const Vector& y, const Vector& grid);

}  // namespace quelmar
