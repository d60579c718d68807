#include "solvers/logistic_fit.h"

#include <algorithm>
#include <cstddef>
#include <utility>

#include "numeric/matrix.h"
#include "solvers/normal_equations.h"

namespace quelmar {
namespace {

constexpr double kAmplitudeUnit = 1000.0;
constexpr int kIterationLimit = 100;
constexpr double kDifferenceStep = 1e-4;
constexpr double kTolerance = 1e-9;
constexpr double kInitialDamping = 2.0;
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
        for (std::size_t i = 0; i < size(); ++i) at.denominator[i] = std::exp((x_[i] - p[1]) * (-p[2])) + 1.0;
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

// The Jacobian at `params` by forward differences, one column per parameter:
// (r(p + step e_j) - r(p)) * (1 / step).
void forward_differences(const Curve& curve, const Vector& params, const Point& at, Matrix& jacobian,
                         Vector& shifted, Point& scratch) {
    for (std::size_t j = 0; j < params.size(); ++j) {
        shifted.copy_from(params);
        shifted[j] += kDifferenceStep;
        if (j == 0)
            curve.with_amplitude(shifted[0], at, scratch.residual);
        else
            curve.evaluate(shifted, scratch);
        Vector& column = scratch.residual;
        column -= at.residual;
        column *= 1.0 / kDifferenceStep;
        jacobian.set_col(j, column);
    }
}

LogisticParams scaled(const Vector& p) { return LogisticParams{p[0] * kAmplitudeUnit, p[1], p[2]}; }

}  // namespace

LogisticParams fit_logistic(const Vector& y, const LogisticParams& start) {
    const Curve curve(y);
    Vector params(3);
    params[0] = start.amplitude / kAmplitudeUnit;
    params[1] = start.midpoint;
    params[2] = start.steepness;
    Point point;
    curve.evaluate(params, point);
    Matrix jacobian(curve.size(), params.size());
    NormalEquations equations;
    Vector shifted, delta, trial;
    Point scratch, trial_point;
    double damping = kInitialDamping;
    double residual_norm = norm(point.residual);
    for (int iterations = 0;;) {
        forward_differences(curve, params, point, jacobian, shifted, scratch);
        equations.form(jacobian, point.residual);
        equations.solve(damping, delta);
        trial.copy_from(delta);
        trial += params;
        curve.evaluate(trial, trial_point);
        const double trial_norm = norm(trial_point.residual);

        if (kTolerance > trial_norm) return scaled(trial);
        if (residual_norm > trial_norm) {
            std::swap(params, trial);
            std::swap(point, trial_point);
            residual_norm = trial_norm;
            damping = std::max(kDampingFloor, damping * 0.5);
        } else {
            damping = 2.0 * damping;
            if (damping > kDampingLimit) return scaled(params);
        }
        if (++iterations == kIterationLimit) return scaled(params);
    }
}

}  // namespace quelmar
