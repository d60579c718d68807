#include "solvers/logistic_fit.h"

#include <algorithm>
#include <cstddef>
#include <utility>

#include "maths/maths.h"
#include "numeric/matrix.h"
#include "solvers/normal_equations.h"

namespace quelmar {
namespace {

constexpr double kAmplitudeUnit = 1000.0;
constexpr int kIterationLimit = 100;
constexpr double kDifferenceStep = 1e-4;
constexpr double kTolerance = 1e-9;  // on the residual norm
constexpr double kInitialDamping = 2.0;
constexpr double kDampingShrink = 0.5;  // after an accepted step
constexpr double kDampingGrowth = 2.0;  // after a rejected step
constexpr double kDampingFloor = 1.5;
constexpr double kDampingLimit = 1000000.0;

// The model at one parameter point (A / 1000, x0, k): its residual against
// the readings, and its denominators exp((x - x0) * (-k)) + 1.0.
struct Point {
    Vector residual;
    Vector denominator;
};

class Curve {
public:
    explicit Curve(const Vector& y) : y_(y) { x_.assign_sequence(1.0, 1.0, y.size()); }

    std::size_t size() const noexcept { return y_.size(); }

    void evaluate(const Vector& p, Point& at) const {
        at.denominator.assign_fill(0.0, size());
        for (std::size_t i = 0; i < size(); ++i) at.denominator[i] = maths::exp((x_[i] - p[1]) * (-p[2])) + 1.0;
        with_amplitude(p[0], at, at.residual);
    }

    // The residual of the point with another amplitude: its exponents do not
    // depend on the amplitude, so its denominators serve unchanged.
    void with_amplitude(double p0, const Point& at, Vector& residual) const {
        const double amplitude = p0 * kAmplitudeUnit;
        residual.assign_fill(0.0, size());
        for (std::size_t i = 0; i < size(); ++i) residual[i] = amplitude / at.denominator[i];
        residual -= y_;
    }

private:
    Vector x_;
    Vector y_;
};

// The state of the fit: the current parameters (A / 1000, x0, k) and their
// point, the damping, and the storage every iteration reuses.
class LogisticFit {
public:
    LogisticFit(const Vector& y, const LogisticParams& start) : curve_(y), params_(3) {
        params_[0] = start.amplitude / kAmplitudeUnit;
        params_[1] = start.midpoint;
        params_[2] = start.steepness;
        curve_.evaluate(params_, point_);
        jacobian_.assign_fill(0.0, curve_.size(), params_.size());
        residual_norm_ = norm(point_.residual);
    }

    // Linearises at the current parameters, solves the damped normal
    // equations and evaluates the trial point they lead to; false, with no
    // trial, when the damped system is singular. The damping is added to the
    // diagonal as a multiple of the identity, Levenberg's form, not scaled by
    // the diagonal of J^T J as Marquardt scales it. The prescribed iteration
    // forms the Jacobian afresh after a rejected step too, at the same
    // parameters, which gives the same matrix again; here the normal
    // equations are kept instead, and only the damping changes.
    bool step() {
        if (!linearised_) {
            forward_differences();
            equations_.form(jacobian_, point_.residual);
            linearised_ = true;
        }
        if (!equations_.solve(damping_, delta_)) return false;
        trial_.copy_from(delta_);
        trial_ += params_;
        curve_.evaluate(trial_, trial_point_);
        trial_norm_ = norm(trial_point_.residual);
        return true;
    }

    // Converged on the trial point's residual alone, which then is the
    // result whether or not it would have been accepted.
    bool trial_converged() const noexcept { return kTolerance > trial_norm_; }

    // Keeps a trial that lowers the residual norm and halves the damping,
    // otherwise doubles it. False when the damping has run away past 1e6.
    // Prescribed, unlike Marquardt's schedule, which lets the damping fall
    // freely: it never goes below 1.5, so that however well the steps go,
    // the fit never comes closer to undamped Gauss-Newton steps than that.
    bool accept_or_damp() {
        if (residual_norm_ > trial_norm_) {
            std::swap(params_, trial_);
            std::swap(point_, trial_point_);
            residual_norm_ = trial_norm_;
            linearised_ = false;
            damping_ = std::max(kDampingFloor, damping_ * kDampingShrink);
            return true;
        }
        damping_ = kDampingGrowth * damping_;
        return !(damping_ > kDampingLimit);
    }

    LogisticParams current() const { return scaled(params_); }
    LogisticParams trial() const { return scaled(trial_); }
    double current_cost() const { return fit_cost(point_.residual); }
    double trial_cost() const { return fit_cost(trial_point_.residual); }

private:
    static LogisticParams scaled(const Vector& p) { return LogisticParams{p[0] * kAmplitudeUnit, p[1], p[2]}; }

    // The Jacobian by forward differences, one column per parameter:
    // (r(p + step e_j) - r(p)) * (1 / step).
    void forward_differences() {
        for (std::size_t j = 0; j < params_.size(); ++j) {
            shifted_.copy_from(params_);
            shifted_[j] += kDifferenceStep;
            if (j == 0)
                curve_.with_amplitude(shifted_[0], point_, scratch_.residual);
            else
                curve_.evaluate(shifted_, scratch_);
            Vector& column = scratch_.residual;
            column -= point_.residual;
            column *= 1.0 / kDifferenceStep;
            jacobian_.set_col(j, column);
        }
    }

    const Curve curve_;
    Vector params_;
    Point point_;
    double damping_ = kInitialDamping;
    double residual_norm_;
    Matrix jacobian_;
    NormalEquations equations_;
    bool linearised_ = false;  // whether the Jacobian and the equations are those at params_
    Vector shifted_, delta_, trial_;
    Point scratch_, trial_point_;
    double trial_norm_;  // set by every step
};

}  // namespace

LogisticFitResult fit_logistic(const Vector& y, const LogisticParams& start) {
    LogisticFit fit(y, start);
    FitSummary summary{FitStop::kIterationLimit, 0, fit.current_cost(), 0.0};
    while (summary.iterations < kIterationLimit) {
        ++summary.iterations;
        if (!fit.step()) {
            summary.stop = FitStop::kSingularSystem;
            break;
        }
        if (fit.trial_converged()) {
            summary.stop = FitStop::kSmallResidual;
            summary.final_cost = fit.trial_cost();
            return {fit.trial(), summary};
        }
        if (!fit.accept_or_damp()) {
            summary.stop = FitStop::kDampingLimit;
            break;
        }
    }
    summary.final_cost = fit.current_cost();
    return {fit.current(), summary};
}

}  // namespace quelmar
