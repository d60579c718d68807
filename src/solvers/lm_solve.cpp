#include "solvers/lm_solve.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <optional>
#include <utility>

#include "maths/maths.h"
#include "numeric/matrix.h"
#include "solvers/normal_equations.h"

namespace quelmar {
namespace {

constexpr double kInitialDampingScale = 0.02;  // tau: mu starts at tau times the largest element of J^T J
constexpr double kGradientTolerance = 1e-06;   // epsilon_1
constexpr double kStepTolerance = 1e-06;       // epsilon_2
constexpr double kDampingExponent = 3.0;       // of the factor 1 - (2 gain - 1)^3
constexpr int kIterationLimit = 100;

// Central differences of any residual callable r(p, out), as
// numerical_jacobian prescribes them.
template <class Residual>
void central_differences(Residual&& r, Vector& p, Matrix& jacobian) {
    Vector value;
    r(p, value);
    jacobian.assign_fill(0.0, value.size(), p.size());
    Vector minus;
    Vector plus;
    for (std::size_t j = 0; j < p.size(); ++j) {
        const double centre = p[j];
        p[j] = centre - kJacobianStep;
        r(p, minus);
        p[j] = centre + kJacobianStep;
        r(p, plus);
        plus -= minus;
        plus *= kJacobianInverseTwoSteps;
        jacobian.set_col(j, plus);
    }
}

// A problem made of a residual function and its context.
class FunctionProblem final : public LeastSquaresProblem {
public:
    FunctionProblem(ResidualFunction f, const void* context) : f_(f), context_(context) {}
    void residual(const Vector& p, Vector& out) override { f_(context_, p, out); }

private:
    ResidualFunction f_;
    const void* context_;
};

// The linearisation of the problem at x: its Jacobian J (x shifted on the
// way), the residual r at the shifted x, and the normal equations J^T J,
// J^T r. The storage is reused from one accepted step to the next.
struct Linearisation {
    Matrix jacobian;
    Vector residual;
    NormalEquations equations;

    void update(LeastSquaresProblem& problem, Vector& x) {
        problem.linearise(x, jacobian, residual);
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
    GainRatioFit(LeastSquaresProblem& problem, const Vector& start) : problem_(problem), x_(start) {
        lin_.update(problem_, x_);
        mu_ = kInitialDampingScale * largest_element(lin_.equations.normal());
        cost_ = fit_cost(lin_.residual);
    }

    // The gradient test, with the Euclidean norm of g where the textbook
    // takes its largest element.
    bool gradient_vanishes() const { return norm(lin_.equations.gradient()) <= kGradientTolerance; }

    // One iteration; the reason the fit ends with it, or none.
    std::optional<FitStop> iterate() {
        // The damped system is solved by a Gauss-Jordan inverse, as
        // prescribed. A singular one is refused; one whose only zero pivot is
        // the last gives a non-finite step, which the tests below reject.
        if (!lin_.equations.solve(mu_, h_)) return FitStop::kSingularSystem;
        if ((norm(x_) + kStepTolerance) * kStepTolerance >= norm(h_)) return FitStop::kSmallStep;
        x_new_.copy_from(x_);
        x_new_ += h_;
        const double predicted = predicted_reduction();
        const double gain = (cost_ - cost_at(x_new_)) / predicted;
        // A rejected step (a NaN gain included) changes nothing, as
        // prescribed, where the textbook raises the damping and tries again:
        // f is deterministic, so every later iteration would compute the same
        // step and reject it again until the limit, ending with the same x.
        if (!(gain > 0.0)) return FitStop::kNoDescent;
        accept(gain);
        if (gradient_vanishes()) return FitStop::kSmallGradient;
        // Prescribed, and not in the textbook: the damping is doubled after
        // every accepted step that does not end the fit, on top of the
        // gain-ratio factor of accept(), so the next step is damped twice as
        // strongly as the gain ratio alone asks (a damping of 0 stays 0).
        mu_ = mu_ + mu_;
        return std::nullopt;
    }

    Vector& x() noexcept { return x_; }
    double cost() const noexcept { return cost_; }

private:
    double cost_at(const Vector& x) {
        problem_.residual(x, trial_residual_);
        return fit_cost(trial_residual_);
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

    // Moves to the trial point and relinearises there (which shifts it by
    // the Jacobian's step). The damping shrinks by 1 - (2 gain - 1)^3 with
    // no positive floor, where the textbook keeps at least a third of it:
    // as prescribed, once mu reaches 0 it stays 0, and later steps are
    // undamped Gauss-Newton steps.
    void accept(double gain) {
        std::swap(x_, x_new_);
        lin_.update(problem_, x_);
        cost_ = fit_cost(lin_.residual);
        const double factor = 1.0 - maths::pow(2.0 * gain - 1.0, kDampingExponent);
        mu_ = factor > 0.0 ? mu_ * factor : 0.0;
    }

    LeastSquaresProblem& problem_;
    Vector x_;
    Linearisation lin_;
    double mu_ = 0.0;
    double cost_ = 0.0;
    Vector h_, x_new_, half_step_, slope_, trial_residual_;
};

}  // namespace

void numerical_jacobian(ResidualFunction f, const void* context, Vector& p, Matrix& jacobian) {
    central_differences([f, context](const Vector& q, Vector& out) { f(context, q, out); }, p, jacobian);
}

void LeastSquaresProblem::linearise(Vector& p, Matrix& jacobian, Vector& r) {
    central_differences([this](const Vector& q, Vector& out) { residual(q, out); }, p, jacobian);
    residual(p, r);
}

FitSummary lm_solve(LeastSquaresProblem& problem, Vector& p) {
    // The first evaluation proves that the residual can be evaluated at all,
    // and gives the cost at the start.
    Vector first;
    problem.residual(p, first);
    FitSummary summary{FitStop::kSmallGradient, 0, fit_cost(first), 0.0};
    GainRatioFit fit(problem, p);
    if (!fit.gradient_vanishes()) {
        summary.stop = FitStop::kIterationLimit;
        while (summary.iterations < kIterationLimit) {
            ++summary.iterations;
            if (const std::optional<FitStop> stop = fit.iterate()) {
                summary.stop = *stop;
                break;
            }
        }
    }
    summary.final_cost = fit.cost();
    if (summary.stop != FitStop::kSingularSystem) p = std::move(fit.x());
    return summary;
}

FitSummary lm_solve(ResidualFunction f, const void* context, Vector& p) {
    FunctionProblem problem(f, context);
    return lm_solve(problem, p);
}

}  // namespace quelmar
