#include "peaks/model.h"

#include <cmath>
#include <cstddef>

#include "base/failures.h"
#include "base/messages.h"
#include "maths/maths.h"
#include "peaks/fit_problem.h"
#include "solvers/lm_solve.h"

namespace quelmar {
namespace {

// Adds one peak a * exp(-(t - b)^2 * (1 / (2 c^2))) to out at every t of x
// (the two equally long).
// Each value is formed in the order difference, square, negation, product
// with the factor, exponential, product with a, and then added to what out
// already holds, so peaks accumulate in the order they are added.
void add_gaussian(const Vector& x, double a, double b, double c, Vector& out) noexcept {
    const double factor = 1.0 / ((c + c) * c);
    const double* t = x.begin();
    for (double& value : out) {
        const double d = *t++ - b;
        value += maths::exp(-(d * d) * factor) * a;
    }
}

// The peaks are evaluated on x but summed into one value per y, so with any
// peak at all the two must match.
void require_matching_curve(const PeakCurve& curve) {
    if (curve.x.size() != curve.y.size()) fail_invalid_argument(msg::kVectorLengthAdd);
}

}  // namespace

Vector multi_gauss(const PeakCurve& curve, const PeakSet& set) {
    const std::size_t n = set.center.size();
    if (set.amplitude.size() != n || set.sigma.size() != n) fail_invalid_argument(msg::kGaussCoeffInvalid);
    Vector result(curve.y.size());
    if (n == 0) return result;
    require_matching_curve(curve);
    for (std::size_t i = 0; i < n; ++i) add_gaussian(curve.x, set.amplitude[i], set.center[i], set.sigma[i], result);
    return result;
}

void mgf_residual(const void* context, const Vector& params, Vector& out) {
    const PeakCurve& curve = *static_cast<const PeakCurve*>(context);
    const std::size_t n = params.size() / 3;
    // Reuses out's storage: the fit calls this many times with the same length.
    out.assign_fill(0.0, curve.y.size());
    if (n > 0) require_matching_curve(curve);
    for (std::size_t i = 0; i < n; ++i) add_gaussian(curve.x, params[3 * i], params[3 * i + 1], params[3 * i + 2], out);
    out -= curve.y;
}

FitSummary solve_peaks(const PeakCurve& curve, PeakSet& set) {
    const std::size_t n = peak_count(set);
    Vector p(3 * n);
    for (std::size_t i = 0; i < n; ++i) {
        p[3 * i] = set.amplitude[i];
        p[3 * i + 1] = set.center[i];
        p[3 * i + 2] = set.sigma[i];
    }
    PeakFitProblem problem(curve);
    const FitSummary summary = lm_solve(problem, p);
    require_result(summary);
    for (std::size_t i = 0; i < n; ++i) {
        set.amplitude[i] = p[3 * i];
        set.center[i] = p[3 * i + 1];
        set.sigma[i] = p[3 * i + 2];
    }
    return summary;
}

}  // namespace quelmar
