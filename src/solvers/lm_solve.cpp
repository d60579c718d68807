#include "solvers/lm_solve.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <utility>

#include "numeric/matrix.h"
#include "solvers/normal_equations.h"

namespace quelmar {
namespace {

constexpr double kInitialDampingScale = 0.02;
constexpr double kGradientTolerance = 1e-06;
constexpr double kStepTolerance = 1e-06;
constexpr double kDampingExponent = 3.0;
constexpr int kIterationLimit = 100;

// Central differences with step 5e-8, J becoming m x n after one evaluation
// that sizes it. p is left with every element shifted by the step, and the
// fit goes on from there.
void numerical_jacobian(ResidualFunction f, const void* context, Vector& p, Matrix& jacobian) {
    constexpr double kStep = 5e-8;
    constexpr double kInverseTwoSteps = 1e7;
    Vector value;
    f(context, p, value);
    jacobian.assign_fill(0.0, value.size(), p.size());
    Vector minus;
    Vector plus;
    for (std::size_t j = 0; j < p.size(); ++j) {
        const double centre = p[j];
        p[j] = centre - kStep;
        f(context, p, minus);
        p[j] = centre + kStep;
        f(context, p, plus);
        plus -= minus;
        plus *= kInverseTwoSteps;
        jacobian.set_col(j, plus);
    }
}

// The linearisation of f at x: its Jacobian J (x shifted on the way), the
// residual r at the shifted x, and the normal equations J^T J, J^T r. The
// storage is reused from one accepted step to the next.
struct Linearisation {
    Matrix jacobian;
    Vector residual;
    NormalEquations equations;

    void update(ResidualFunction f, const void* context, Vector& x) {
        numerical_jacobian(f, context, x, jacobian);
        f(context, x, residual);
        equations.form(jacobian, residual);
    }
};

// The largest element of A, the first of equals, taking an element only when
// it is greater, so a NaN first element stays; 0 for an empty matrix.
double largest_element(const Matrix& a) {
    const Vector& e = a.elements();
    return e.empty() ? 0.0 : *std::max_element(e.begin(), e.end());
}

// The state of the fit: the current point x, its linearisation and cost
// (half the sum of squares of f), and the damping mu. x changes only on an
// accepted step, which evaluates f there anyway, so the cost is kept instead
// of being evaluated again at the same point.
class GainRatioFit {
public:
    GainRatioFit(ResidualFunction f, const void* context, const Vector& start) : f_(f), context_(context), x_(start) {
        lin_.update(f_, context_, x_);
        mu_ = kInitialDampingScale * largest_element(lin_.equations.normal());
        cost_ = 0.5 * dot(lin_.residual, lin_.residual);
    }

    bool gradient_vanishes() const { return norm(lin_.equations.gradient()) <= kGradientTolerance; }

    // One iteration; false when the fit ends with it: the damped step is too
    // small to matter, it does not lower the cost (a NaN gain included), or
    // it is taken and leaves no gradient. A rejected step changes nothing,
    // and f is deterministic: every later iteration would compute the same
    // step and reject it again until the limit, ending with the same x.
    bool iterate() {
        // A singular damped matrix is refused; one whose only zero pivot is
        // the last gives a non-finite step, which the tests below reject.
        lin_.equations.solve(mu_, h_);
        if ((norm(x_) + kStepTolerance) * kStepTolerance >= norm(h_)) return false;
        x_new_.copy_from(x_);
        x_new_ += h_;
        const double predicted = predicted_reduction();
        const double gain = (cost_ - cost_at(x_new_)) / predicted;
        if (!(gain > 0.0)) return false;
        accept(gain);
        if (gradient_vanishes()) return false;
        mu_ = mu_ + mu_;
        return true;
    }

    Vector& x() noexcept { return x_; }

private:
    double cost_at(const Vector& x) {
        f_(context_, x, trial_residual_);
        return 0.5 * dot(trial_residual_, trial_residual_);
    }

    // The reduction the linear model promises for h: (mu h - g) . (h / 2).
    double predicted_reduction() {
        half_step_.copy_from(h_);
        half_step_ *= 0.5;
        slope_.copy_from(h_);
        slope_ *= mu_;
        slope_ -= lin_.equations.gradient();
        return dot(half_step_, slope_);
    }

    // Moves to the trial point and relinearises there; the damping shrinks
    // by 1 - (2 gain - 1)^3, with no positive floor: once mu reaches 0 it
    // stays 0, and later steps are undamped Gauss-Newton steps.
    void accept(double gain) {
        std::swap(x_, x_new_);
        lin_.update(f_, context_, x_);
        cost_ = 0.5 * dot(lin_.residual, lin_.residual);
        const double factor = 1.0 - std::pow(2.0 * gain - 1.0, kDampingExponent);
        mu_ = factor > 0.0 ? mu_ * factor : 0.0;
    }

    ResidualFunction f_;
    const void* context_;
    Vector x_;
    Linearisation lin_;
    double mu_ = 0.0;
    double cost_ = 0.0;
    Vector h_, x_new_, half_step_, slope_, trial_residual_;
};

}  // namespace

void lm_solve(ResidualFunction f, const void* context, Vector& p) {
    // The first evaluation only proves that f can be evaluated at all.
    Vector first;
    f(context, p, first);
    GainRatioFit fit(f, context, p);
    if (!fit.gradient_vanishes()) {
        int iterations = 0;
        while (iterations < kIterationLimit && fit.iterate()) ++iterations;
    }
    p = std::move(fit.x());
}

}  // namespace quelmar
