#include "fitting/running_smooth.h"

#include <array>
#include <cstddef>
#include <cstdint>

#include "fitting/quadratic.h"
#include "numeric/matrix.h"

namespace quelmar {
namespace {

constexpr std::size_t kWindow = 5;
constexpr int kPasses = 3;

using Window = std::array<double, kWindow>;

// Stage A: a strict local minimum or maximum among the three inner samples
// becomes the mean of its two neighbours. Every test reads the values as
// they were before this stage; equal neighbours and NaNs fail the tests.
void flatten_isolated_extremes(double* w) {
    Window s;
    for (std::size_t i = 0; i < kWindow; ++i) s[i] = w[i];
    for (std::size_t i = 1; i <= 3; ++i) {
        const bool minimum = s[i - 1] > s[i] && s[i + 1] > s[i];
        const bool maximum = s[i] > s[i - 1] && s[i] > s[i + 1];
        if (minimum || maximum) w[i] = (s[i - 1] + s[i + 1]) * 0.5;
    }
}

// Stage B: the window becomes its least-squares parabola over the abscissae
// x. fit is (X^T X)^-1 X^T for those abscissae; the sums run exactly as the
// matrix-vector product would run them.
void replace_by_parabola(double* w, const Matrix& fit, const Vector& x) {
    double c[3];
    for (std::size_t k = 0; k < fit.rows(); ++k) {
        double sum = 0.0;
        for (std::size_t j = 0; j < kWindow; ++j) sum += fit(k, j) * w[j];
        c[k] = sum;
    }
    for (std::size_t i = 0; i < kWindow; ++i) w[i] = quadratic_value(c[0], c[1], c[2], x[i]);
}

// Stage C: for the steps at i = 1, 2, when the step S[i] -> S[i+1] is
// smaller than both the step before it and the two-step rise after S[i], or
// larger than both, sample i+1 becomes the mean of S[i] and S[i+2].
void even_out_slope_outliers(double* w) {
    Window s;
    for (std::size_t i = 0; i < kWindow; ++i) s[i] = w[i];
    for (std::size_t i = 1; i <= 2; ++i) {
        const double d1 = s[i] - s[i - 1];
        const double d2 = s[i + 1] - s[i];
        const double d3 = s[i + 2] - s[i];
        if ((d1 > d2 && d3 > d2) || (d2 > d1 && d2 > d3)) w[i + 1] = (s[i] + s[i + 2]) * 0.5;
    }
}

}  // namespace

void running_smooth(Vector& v) {
    // 64-bit window starts: the same windows as 32-bit ones for every curve
    // that fits them, and no overflow for longer curves.
    const std::int64_t n = static_cast<std::int64_t>(v.size());
    const std::int64_t last_start = n - 6;
    if (last_start < 0) return;

    // Every window is fitted at the abscissae 1..5, so the fit operator is
    // the same for all of them: form it once.
    Vector x;
    x.assign_sequence(1.0, 1.0, kWindow);
    const Matrix fit = quadratic_fit_operator(x);

    for (int pass = 0; pass < kPasses; ++pass) {
        for (std::int64_t s = 0; s <= last_start; ++s) {
            double* w = v.data() + s;
            flatten_isolated_extremes(w);
            replace_by_parabola(w, fit, x);
            even_out_slope_outliers(w);
        }
    }
}

}  // namespace quelmar
