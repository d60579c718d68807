#include "peaks/fit_problem.h"

#include <cstring>

#include "base/allocator.h"
#include "base/failures.h"
#include "base/messages.h"
#include "maths/maths.h"

namespace quelmar {
namespace {

constexpr std::size_t kPeakParameters = 3;  // amplitude, center, sigma
constexpr std::size_t kCenterOffset = 1;
constexpr std::size_t kSigmaOffset = 2;

bool same_bits(const Vector& a, const Vector& b) noexcept {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

}  // namespace

// The shape exp(-(t - b)^2 * (1 / (2 c^2))) in mgf_residual's order of
// operations: difference, square, negation, product with the factor.
void PeakFitProblem::shape(double center, double sigma, Vector& out, std::size_t offset,
                           std::size_t stride) const {
    const double factor = 1.0 / ((sigma + sigma) * sigma);
    for (std::size_t i = 0; i < curve_.y.size(); ++i) {
        const double d = curve_.x[i] - center;
        out[offset + i * stride] = maths::exp(-(d * d) * factor);
    }
}

void PeakFitProblem::evaluate_shapes(const Vector& p) {
    if (have_shapes_ && same_bits(evaluated_, p)) return;
    have_shapes_ = false;
    const std::size_t n = p.size() / kPeakParameters;
    // A product past the address space saturates, and its allocation fails.
    shapes_.assign_fill(0.0, checked_product(curve_.y.size(), n));
    for (std::size_t k = 0; k < n; ++k)
        shape(p[kPeakParameters * k + kCenterOffset], p[kPeakParameters * k + kSigmaOffset], shapes_, k, n);
    evaluated_.copy_from(p);
    have_shapes_ = true;
}

// The peaks are evaluated on x but summed into one value per y, so with any
// peak at all the two must match.
void PeakFitProblem::require_matching_curve(std::size_t peaks) const {
    if (peaks > 0 && curve_.x.size() != curve_.y.size()) fail_invalid_argument(msg::kVectorLengthAdd);
}

void PeakFitProblem::residual(const Vector& p, Vector& out) {
    const std::size_t n = p.size() / kPeakParameters;
    const std::size_t m = curve_.y.size();
    require_matching_curve(n);
    evaluate_shapes(p);
    out.assign_fill(0.0, m);
    for (std::size_t i = 0; i < m; ++i) {
        double value = 0.0;
        for (std::size_t k = 0; k < n; ++k) value += shapes_[i * n + k] * p[kPeakParameters * k];
        out[i] = value - curve_.y[i];
    }
}

// Column j of the Jacobian, whose moved peak k adds lower_[i] * a_lower to
// the lower and upper_[i] * a_upper to the upper evaluation at temperature
// i. Each evaluation is the sum carried over the peaks before k, then the
// moved peak's term, then the later peaks' terms at p, less y.
void PeakFitProblem::difference_column(std::size_t j, std::size_t k, double a_lower, double a_upper,
                                       Matrix& jacobian) const {
    const std::size_t n = peaks_;
    const double* before = before_.data();
    const double* lower = lower_.data();
    const double* upper = upper_.data();
    const double* terms = terms_.data();
    const double* y = curve_.y.data();
    for (std::size_t i = 0; i < curve_.y.size(); ++i) {
        double minus = before[i] + lower[i] * a_lower;
        double plus = before[i] + upper[i] * a_upper;
        for (std::size_t later = k + 1; later < n; ++later) {
            minus += terms[i * n + later];
            plus += terms[i * n + later];
        }
        minus -= y[i];
        plus -= y[i];
        jacobian(i, j) = (plus - minus) * kJacobianInverseTwoSteps;
    }
}

void PeakFitProblem::linearise(Vector& p, Matrix& jacobian, Vector& r) {
    const std::size_t n = p.size() / kPeakParameters;
    // Without a peak, or with values past the last whole peak, whose columns
    // the peaks do not describe, the plain central differences serve.
    if (n == 0 || p.size() % kPeakParameters != 0) {
        LeastSquaresProblem::linearise(p, jacobian, r);
        return;
    }
    const std::size_t m = curve_.y.size();
    require_matching_curve(n);
    evaluate_shapes(p);
    peaks_ = n;
    terms_.assign_fill(0.0, checked_product(m, n));
    for (std::size_t i = 0; i < m; ++i)
        for (std::size_t k = 0; k < n; ++k) terms_[i * n + k] = shapes_[i * n + k] * p[kPeakParameters * k];
    jacobian.assign_fill(0.0, m, p.size());
    before_.assign_fill(0.0, m);
    lower_.assign_fill(0.0, m);
    upper_.assign_fill(0.0, m);

    for (std::size_t k = 0; k < n; ++k) {
        const std::size_t ja = kPeakParameters * k;
        const std::size_t jb = ja + kCenterOffset;
        const std::size_t jc = ja + kSigmaOffset;
        // The amplitude scales the peak's shape at p, which stays.
        for (std::size_t i = 0; i < m; ++i) lower_[i] = shapes_[i * n + k];
        upper_.copy_from(lower_);
        const double a = p[ja];
        p[ja] = a + kJacobianStep;
        difference_column(ja, k, a - kJacobianStep, p[ja], jacobian);
        // The center, with the amplitude shifted.
        const double b = p[jb];
        shape(b - kJacobianStep, p[jc], lower_);
        p[jb] = b + kJacobianStep;
        shape(p[jb], p[jc], upper_);
        difference_column(jb, k, p[ja], p[ja], jacobian);
        // The width, with the amplitude and the center shifted: its upper
        // shape is the peak's shape once all three have moved.
        const double c = p[jc];
        shape(p[jb], c - kJacobianStep, lower_);
        p[jc] = c + kJacobianStep;
        shape(p[jb], p[jc], upper_);
        difference_column(jc, k, p[ja], p[ja], jacobian);
        for (std::size_t i = 0; i < m; ++i) before_[i] += upper_[i] * p[ja];
    }
    r.assign_fill(0.0, m);
    for (std::size_t i = 0; i < m; ++i) r[i] = before_[i] - curve_.y[i];
}

}  // namespace quelmar
