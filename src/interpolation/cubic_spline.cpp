#include "interpolation/cubic_spline.h"

#include "base/failures.h"
#include "base/messages.h"

namespace quelmar {

CubicSpline::CubicSpline(const Vector& x, const Vector& y) : n_(x.size()) {
    const std::size_t n = n_;
    if (n < 3) fail_invalid_argument(msg::kSplineTooFewKnots);
    x_.assign_copy(x.data(), n);
    y_.assign_copy(y.data(), n);
    // One cubic per segment; c also holds the end condition at the last knot.
    a_ = Vector(n - 1);
    b_ = Vector(n - 1);
    c_ = Vector(n);
    d_ = Vector(n - 1);
    compute_coefficients();
}

// The tridiagonal system of the natural spline, solved by one forward
// elimination and one back substitution. Unsigned indices in place of the
// usual 32-bit ones: the same steps for every size, and no overflow.
void CubicSpline::compute_coefficients() {
    const std::size_t last = n_ - 1;  // N, the number of segments
    const Vector& x = x_;
    const Vector& y = y_;

    Vector h(last);
    for (std::size_t i = 0; i < last; ++i) h[i] = x[i + 1] - x[i];

    Vector alpha(last);
    for (std::size_t i = 1; i < last; ++i)
        alpha[i] = (y[i + 1] - y[i]) * (3 / h[i]) - (y[i] - y[i - 1]) * (3 / h[i - 1]);

    Vector l(last + 1), mu(last + 1), z(last + 1);
    l[0] = 1.0;
    mu[0] = 0.0;
    z[0] = 0.0;
    for (std::size_t i = 1; i < last; ++i) {
        l[i] = 2 * (x[i + 1] - x[i - 1]) - h[i - 1] * mu[i - 1];
        mu[i] = h[i] / l[i];
        z[i] = (alpha[i] - h[i - 1] * z[i - 1]) / l[i];
    }
    l[last] = 1.0;
    z[last] = 0.0;
    c_[last] = 0.0;

    for (std::size_t j = last; j-- > 0;) {
        c_[j] = z[j] - mu[j] * c_[j + 1];
        b_[j] = (y[j + 1] - y[j]) / h[j] - ((c_[j] + c_[j] + c_[j + 1]) * h[j]) / 3;
        d_[j] = (c_[j + 1] - c_[j]) / (h[j] * 3);
        a_[j] = y[j];
    }
}

double CubicSpline::operator()(double t) const noexcept {
    const std::size_t j = spline_segment(*this, t);
    const double dt = t - x_[j];
    return ((dt * b_[j] + a_[j]) + (dt * c_[j]) * dt) + ((dt * d_[j]) * dt) * dt;
}

std::size_t spline_segment(const CubicSpline& spline, double t) noexcept {
    const Vector& x = spline.x();
    std::size_t lo = 0;
    std::size_t hi = spline.size() - 1;
    // lo < hi throughout, so lo + hi cannot overflow for any real array.
    while (hi - lo > 1) {
        const std::size_t mid = (lo + hi) / 2;
        if (x[mid] > t)
            hi = mid;
        else
            lo = mid;
    }
    return lo;
}

Vector spline_resample(const Vector& x, const Vector& y, const Vector& grid) {
    if (x.size() != y.size()) fail_invalid_argument(msg::kSplineLengthsDiffer);
    Vector result;
    result.assign_fill(0.0, grid.size());
    const CubicSpline spline(x, y);
    for (std::size_t k = 0; k < grid.size(); ++k) result[k] = spline(grid[k]);
    return result;
}

}  // namespace quelmar
