#include "peaks/lm_solve.h"

#include <cmath>
#include <cstddef>
#include <utility>

#include "peaks/model.h"

namespace quelmar {
namespace {

constexpr double kInitialDampingScale = 0.02;
constexpr double kGradientTolerance = 1e-06;
constexpr double kStepTolerance = 1e-06;
constexpr double kDampingExponent = 3.0;
constexpr int kIterationLimit = 100;

// The linearisation of f at x: its Jacobian J (x is shifted by the
// difference step on the way, as numerical_jacobian leaves it), the normal
// matrix A = J^T J, the residual r at the shifted x and the gradient
// g = J^T r. The buffers are reused from one accepted step to the next.
struct Linearisation {
    Matrix jacobian;
    Matrix normal;
    Vector residual;
    Vector gradient;

    void update(ResidualFunction f, const void* context, Vector& x) {
        numerical_jacobian(f, context, x, jacobian);
        const std::size_t m = jacobian.rows();
        const std::size_t n = jacobian.cols();
        // A(i, j) sums J^T(i, k) * J(k, j) = J(k, i) * J(k, j) over ascending k
        // from 0.0: the product of a transposed copy of J with J.
        normal.assign_fill(0.0, n, n);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = 0; j < n; ++j) {
                double sum = 0.0;
                for (std::size_t k = 0; k < m; ++k) sum += jacobian(k, i) * jacobian(k, j);
                normal(i, j) = sum;
            }
        f(context, x, residual);
        gradient.assign_fill(0.0, n);
        for (std::size_t i = 0; i < n; ++i) {
            double sum = 0.0;
            for (std::size_t k = 0; k < m; ++k) sum += jacobian(k, i) * residual[k];
            gradient[i] = sum;
        }
    }
};

// The largest element of A as a running maximum from the first element, so a
// NaN there stays; 0 for an empty matrix.
double largest_element(const Matrix& a) {
    const Vector& e = a.elements();
    if (e.empty()) return 0.0;
    double best = e[0];
    for (std::size_t i = 1; i < e.size(); ++i)
        if (e[i] > best) best = e[i];
    return best;
}

// The step h = -(A + mu I)^-1 g. The inversion's success flag is not looked
// at: a singular matrix stays n x 2n and the product refuses its shape, while
// a matrix whose only zero pivot is the last one yields a non-finite step
// that the caller rejects.
void damped_step(const Matrix& a, double mu, const Vector& g, Matrix& b, Vector& h) {
    const std::size_t n = a.rows();
    b = a;
    const double on_diagonal = 1.0 * mu;
    const double off_diagonal = 0.0 * mu;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j) b(i, j) += i == j ? on_diagonal : off_diagonal;
    b.invert();
    for (std::size_t i = 0; i < b.rows(); ++i)
        for (std::size_t j = 0; j < b.cols(); ++j) b(i, j) = -b(i, j);
    multiply(b, g, &h);
}

}  // namespace

void lm_solve(ResidualFunction f, const void* context, Vector& p) {
    // The first evaluation only proves that f can be evaluated at all.
    Vector cost_residual;
    f(context, p, cost_residual);

    Vector x(p);
    Linearisation lin;
    lin.update(f, context, x);
    double mu = kInitialDampingScale * largest_element(lin.normal);
    if (norm(lin.gradient) <= kGradientTolerance) {
        p = std::move(x);
        return;
    }

    // f at the current x and half its sum of squares. x changes only on an
    // accepted step, which evaluates f there anyway, so these are kept
    // instead of being evaluated again at the same point.
    double cost = 0.5 * dot(lin.residual, lin.residual);

    Matrix b;
    Vector h;
    Vector x_new;
    Vector half_step;
    Vector slope;
    for (int k = 0;;) {
        damped_step(lin.normal, mu, lin.gradient, b, h);
        const double h_norm = norm(h);
        if ((norm(x) + kStepTolerance) * kStepTolerance >= h_norm) break;

        x_new.copy_from(x);
        x_new += h;
        // Predicted reduction (mu h - g) . (h / 2).
        half_step.copy_from(h);
        half_step *= 0.5;
        slope.copy_from(h);
        slope *= mu;
        slope -= lin.gradient;
        const double predicted = dot(half_step, slope);

        f(context, x_new, cost_residual);
        const double new_cost = 0.5 * dot(cost_residual, cost_residual);
        const double gain = (cost - new_cost) / predicted;

        if (!(gain > 0.0)) {
            // A rejected step (NaN included) changes nothing, and f is
            // deterministic: every later iteration would compute this same
            // step and reject it again until the limit, ending with the same
            // x. Ending here gives that result without the repeats.
            break;
        }

        std::swap(x, x_new);
        lin.update(f, context, x);
        cost = 0.5 * dot(lin.residual, lin.residual);
        const double factor = 1.0 - std::pow(2.0 * gain - 1.0, kDampingExponent);
        // No positive floor: once mu reaches 0 it stays 0, and later steps
        // are undamped Gauss-Newton steps.
        mu = factor > 0.0 ? mu * factor : 0.0;
        if (norm(lin.gradient) <= kGradientTolerance) break;
        mu = mu + mu;

        if (++k >= kIterationLimit) break;
    }
    p = std::move(x);
}

void solve_peaks(const MgfHandle& handle, GaussCoeff& set) {
    const std::size_t n = peak_count(set);
    Vector p(3 * n);
    for (std::size_t i = 0; i < n; ++i) {
        p[3 * i] = set.amplitude[i];
        p[3 * i + 1] = set.center[i];
        p[3 * i + 2] = set.sigma[i];
    }
    lm_solve(mgf_residual, &handle, p);
    for (std::size_t i = 0; i < n; ++i) {
        set.amplitude[i] = p[3 * i];
        set.center[i] = p[3 * i + 1];
        set.sigma[i] = p[3 * i + 2];
    }
}

}  // namespace quelmar

