#include "amplification/sigmoid.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <utility>

#include "amplification/curve_primitives.h"
#include "fitting/moving_average.h"
#include "frame/messages.h"

namespace quelmar {
namespace {

// The normal equations of one damped step, solved in storage that is sized
// once per fit. The arithmetic is that of transposing J, forming Jt r and
// Jt J with the matrix products, adding the damping on the diagonal,
// inverting by Gauss-Jordan with partial pivoting and multiplying the
// negated inverse into Jt r, operation for operation; only the temporary
// matrices those operations would allocate on every iteration are avoided.
class DampedStep {
public:
    explicit DampedStep(std::size_t m) : m_(m), gradient_(m), augmented_(m, 2 * m) {}

    // delta = -(Jt J + damping I)^-1 Jt r.
    void solve(const Matrix& jacobian, const Vector& residual, double damping, Vector& delta) {
        form_gradient(jacobian, residual);
        form_damped_matrix(jacobian, damping);
        // The success of the inversion is not consulted: a singular matrix
        // stays the m x 2m intermediate, and multiplying it into the m
        // elements of Jt r fails on its shape, which ends the fit.
        if (!augmented_.gauss_jordan() && m_ != 0) throw std::invalid_argument(msg::kMatrixVectorShape);
        delta.assign_fill(0.0, m_);
        for (std::size_t i = 0; i < m_; ++i) {
            double sum = 0.0;
            for (std::size_t j = 0; j < m_; ++j) sum += -augmented_(i, m_ + j) * gradient_[j];
            delta[i] = sum;
        }
    }

private:
    // g = Jt r, element i summed over ascending rows of J.
    void form_gradient(const Matrix& jacobian, const Vector& residual) {
        for (std::size_t i = 0; i < m_; ++i) {
            double sum = 0.0;
            for (std::size_t k = 0; k < jacobian.rows(); ++k) sum += jacobian(k, i) * residual[k];
            gradient_[i] = sum;
        }
    }

    // [Jt J + damping I | I].
    void form_damped_matrix(const Matrix& jacobian, double damping) {
        for (std::size_t i = 0; i < m_; ++i) {
            for (std::size_t j = 0; j < m_; ++j) {
                double sum = 0.0;
                for (std::size_t k = 0; k < jacobian.rows(); ++k) sum += jacobian(k, i) * jacobian(k, j);
                const double identity = i == j ? 1.0 : 0.0;
                augmented_(i, j) = sum + identity * damping;
                augmented_(i, m_ + j) = identity;
            }
        }
    }

    std::size_t m_;
    Vector gradient_;
    Matrix augmented_;
};

}  // namespace

void sigmoid_residual(const void* context, const Vector& p, Vector& out) {
    const CurveData& curve = *static_cast<const CurveData*>(context);
    const double amplitude = p[0] * 1000.0;
    const double midpoint = p[1];
    const double steepness = p[2];
    // Sized once by the first call; later calls reuse the storage.
    out.assign_fill(0.0, curve.x.size());
    for (std::size_t i = 0; i < curve.x.size(); ++i)
        out[i] = amplitude / (std::exp((curve.x[i] - midpoint) * (-steepness)) + 1.0);
    out -= curve.y;
}

Vector levenberg_marquardt(ResidualFunction f, const void* context, const Vector& initial, int max_iterations,
                           double difference_step, double tolerance) {
    const std::size_t m = initial.size();
    Vector residual;
    f(context, initial, residual);
    Matrix jacobian(residual.size(), m);
    const Vector steps(m, difference_step);
    double damping = 2.0;
    Vector params = initial;
    if (max_iterations == 0) return params;

    DampedStep step(m);
    Vector shifted;
    Vector column;
    Vector delta;
    Vector trial;
    Vector trial_residual;
    double residual_norm = norm(residual);
    // 64-bit count: a negative limit is never reached, and the count cannot
    // overflow before the damping or the tolerance ends the loop.
    std::int64_t iterations = 0;
    for (;;) {
        // Forward differences at the current parameters, one column each.
        for (std::size_t j = 0; j < m; ++j) {
            shifted.copy_from(params);
            shifted[j] += steps[j];
            f(context, shifted, column);
            column -= residual;
            column *= 1.0 / steps[j];
            jacobian.set_col(j, column);
        }
        step.solve(jacobian, residual, damping, delta);
        trial.copy_from(delta);
        trial += params;
        f(context, trial, trial_residual);
        const double trial_norm = norm(trial_residual);

        if (tolerance > trial_norm) return trial;
        if (residual_norm > trial_norm) {
            std::swap(params, trial);
            std::swap(residual, trial_residual);
            residual_norm = trial_norm;
            damping = std::max(1.5, damping * 0.5);
        } else {
            damping = 2.0 * damping;
            if (damping > 1000000.0) return params;
        }
        if (++iterations == max_iterations) return params;
    }
}

SigmoidParams fit_sigmoid(const Vector& curve) {
    const std::size_t n = curve.size();
    // The starting midpoint needs a second derivative, which needs two readings.
    if (n < 2) throw std::invalid_argument(msg::kArrayTooShort);

    CurveData data;
    data.x.assign_sequence(1.0, 1.0, n);
    data.y = curve;

    // Starting values from a wider smoothing than the fit itself sees: the
    // plateau from its maximum, the midpoint halfway between the sharpest
    // bend upwards and the sharpest bend downwards, but not before cycle 11.
    Vector smoothed = curve;
    moving_average(smoothed, 5);
    const double amplitude = smoothed[argmax(smoothed)] / 1000.0;
    Vector bend = smoothed;
    central_difference(bend);
    central_difference(bend);
    const std::size_t bend_sum = argmax(bend) + argmin(bend);
    const double midpoint = std::max(11.0, static_cast<double>(bend_sum) * 0.5);

    Vector start(3);
    start[0] = amplitude;
    start[1] = midpoint;
    start[2] = 0.4;
    const Vector p = levenberg_marquardt(sigmoid_residual, &data, start, 100, 1e-4, 1e-9);
    return SigmoidParams{p[0] * 1000.0, p[1], p[2]};
}

Vector evaluate_sigmoid(const double* params, const Vector& x) {
    const double amplitude = params[0];
    const double midpoint = params[1];
    const double steepness = params[2];
    Vector y(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) y[i] = amplitude / (std::exp((x[i] - midpoint) * (-steepness)) + 1.0);
    return y;
}

Vector sigmoid_batch_ct(const FittingResult* records, std::size_t record_count) {
    // The fitted logistic bends upwards most sharply at x0 - ln(2 + sqrt 3) / k;
    // the Ct is reported a cycle and a half before that.
    const double bend_offset = std::log(std::sqrt(3.0) + 2.0);
    Vector ct(record_count);
    for (std::size_t i = 0; i < record_count; ++i) {
        const FittingResult& record = records[i];
        double value = record.sigmoid_midpoint - bend_offset / record.sigmoid_steepness;
        value -= 1.5;
        // A plateau below 10 or a nearly flat curve is no amplification. The
        // plateau test is written so that a NaN plateau (a record the host
        // filled itself) fails it too instead of passing a finite Ct.
        if (!(record.sigmoid_amplitude >= 10.0) || 0.01 > record.sigmoid_steepness) value = std::nan("");
        ct[i] = value;
    }
    return ct;
}

}  // namespace quelmar
