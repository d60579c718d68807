// The logistic model, its Levenberg-Marquardt fit and the sigmoid Ct.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "QuelmarAlg.h"
#include "amplification/curve_primitives.h"
#include "amplification/sigmoid.h"
#include "expect_throw.h"
#include "fitting/moving_average.h"
#include "numeric/matrix.h"

namespace {

using quelmar::CurveData;
using quelmar::Matrix;
using quelmar::ResidualFunction;
using quelmar::Vector;

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

Vector vec(std::initializer_list<double> values) {
    Vector v(values.size());
    size_t i = 0;
    for (double x : values) v[i++] = x;
    return v;
}

// A logistic evaluated exactly as the model does, at cycles 1 .. n.
Vector logistic(double a, double x0, double k, size_t n) {
    Vector y(n);
    for (size_t i = 0; i < n; ++i) y[i] = a / (std::exp((static_cast<double>(i + 1) - x0) * (-k)) + 1.0);
    return y;
}

// The damped iteration written out with the plain matrix operations, one
// temporary per step: the library's fit must give the same bits.
enum class Stop { kTolerance, kDamping, kLimit };

struct ReferenceRun {
    Vector params;
    Stop stop = Stop::kLimit;
    int accepted = 0;
    int rejected = 0;
};

ReferenceRun reference_lm(ResidualFunction f, const void* context, const Vector& initial, int max_iterations,
                          double step, double tolerance) {
    ReferenceRun run;
    const size_t m = initial.size();
    Vector r;
    f(context, initial, r);
    Matrix jacobian(r.size(), m);
    const Vector steps(m, step);
    double lambda = 2.0;
    Vector p = initial;
    run.params = p;
    if (max_iterations == 0) return run;
    for (int count = 0;;) {
        for (size_t j = 0; j < m; ++j) {
            Vector q = p;
            q[j] += steps[j];
            Vector column;
            f(context, q, column);
            column -= r;
            column *= 1.0 / steps[j];
            jacobian.set_col(j, column);
        }
        Matrix jt = jacobian;
        jt.transpose();
        Vector g;
        quelmar::multiply(jt, r, &g);
        Matrix normal = jt;
        normal *= jacobian;
        Matrix damping(m, m);
        for (size_t i = 0; i < m; ++i) damping.at(i, i) = 1.0;
        for (size_t i = 0; i < m; ++i)
            for (size_t j = 0; j < m; ++j) damping.at(i, j) *= lambda;
        Matrix a = normal;
        a += damping;
        a.invert();
        for (size_t i = 0; i < a.rows(); ++i)
            for (size_t j = 0; j < a.cols(); ++j) a.at(i, j) = -a.at(i, j);
        Vector delta;
        quelmar::multiply(a, g, &delta);
        Vector p_new = delta + p;
        Vector r_new;
        f(context, p_new, r_new);
        double old_sum = 0.0, new_sum = 0.0;
        for (double x : r) old_sum += x * x;
        for (double x : r_new) new_sum += x * x;
        if (tolerance > std::sqrt(new_sum)) {
            run.params = p_new;
            run.stop = Stop::kTolerance;
            return run;
        }
        if (std::sqrt(old_sum) > std::sqrt(new_sum)) {
            p = p_new;
            r = r_new;
            lambda = std::max(1.5, lambda * 0.5);
            ++run.accepted;
        } else {
            lambda = 2.0 * lambda;
            ++run.rejected;
            if (lambda > 1e6) {
                run.stop = Stop::kDamping;
                break;
            }
        }
        if (++count == max_iterations) break;
    }
    run.params = p;
    return run;
}

Vector sigmoid_start(const Vector& curve) {
    Vector s = curve;
    quelmar::moving_average(s, 5);
    Vector d2 = s;
    quelmar::central_difference(d2);
    quelmar::central_difference(d2);
    return vec({s[quelmar::argmax(s)] / 1000.0,
                std::max(11.0, static_cast<double>(quelmar::argmax(d2) + quelmar::argmin(d2)) * 0.5), 0.4});
}

TEST(SigmoidExport, EvaluatesTheModelInPlace) {
    const double params[] = {1000.0, 20.0, 0.5};
    double values[] = {20.0, 10.0, 30.0};
    ASSERT_EQ(alg_sigmoid(params, values, 3), ALG_OK);
    EXPECT_EQ(values[0], 500.0);
    EXPECT_EQ(values[1], 1000.0 / (std::exp(5.0) + 1.0));
    EXPECT_EQ(values[2], 1000.0 / (std::exp(-5.0) + 1.0));
    EXPECT_STREQ(get_last_error(), "");
    EXPECT_EQ(alg_sigmoid(params, nullptr, 0), ALG_OK);
}

TEST(SigmoidCtExport, ReadsTheBendOfTheStoredLogistic) {
    FittingResult records[4] = {};
    records[0].sigmoid_amplitude = 5000.0;
    records[0].sigmoid_midpoint = 25.0;
    records[0].sigmoid_steepness = 0.5;
    records[1] = records[0];
    records[1].sigmoid_amplitude = 9.99;
    records[2] = records[0];
    records[2].sigmoid_steepness = 0.009;
    records[3].sigmoid_amplitude = 10.0;  // both limits met exactly
    records[3].sigmoid_midpoint = 25.0;
    records[3].sigmoid_steepness = 0.01;
    double ct[5] = {0, 0, 0, 0, -7.0};
    ASSERT_EQ(alg_sigmoid_batch_calc_ct(records, 4, 12345, ct), ALG_OK);
    EXPECT_NEAR(ct[0], 20.86608420615037, 1e-13);
    EXPECT_TRUE(std::isnan(ct[1]));
    EXPECT_TRUE(std::isnan(ct[2]));
    EXPECT_NEAR(ct[3], 25.0 - 131.69578969248166 - 1.5, 1e-11);
    EXPECT_EQ(ct[4], -7.0);  // only recordCount values are written
    EXPECT_EQ(alg_sigmoid_batch_calc_ct(records, 0, 0, ct), ALG_OK);
}

TEST(SigmoidResidual, IsModelMinusData) {
    CurveData curve{vec({1, 2}), vec({100, 200})};
    Vector r;
    quelmar::sigmoid_residual(&curve, vec({1.0, 1.0, 0.5}), r);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0], 500.0 - 100.0);  // p0 is carried in thousands
    EXPECT_EQ(r[1], 1000.0 / (std::exp(-0.5) + 1.0) - 200.0);
    CurveData uneven{vec({1, 2, 3}), vec({1, 2})};
    EXPECT_THROW_MSG(quelmar::sigmoid_residual(&uneven, vec({1, 1, 1}), r), std::invalid_argument,
                     "两向量长度不等，元素个数不同不能相减。");
}

struct CallCounter {
    int calls = 0;
};

void counted_shift(const void* context, const Vector& p, Vector& out) {
    ++static_cast<CallCounter*>(const_cast<void*>(context))->calls;
    out = p;
    out -= vec({3.0, -2.0});
}

TEST(LevenbergMarquardt, ZeroIterationsReturnTheStartAfterOneEvaluation) {
    CallCounter counter;
    const Vector start = vec({0.1, 0.2});
    const Vector p = quelmar::levenberg_marquardt(counted_shift, &counter, start, 0, 1e-4, 1e-9);
    ASSERT_EQ(p.size(), 2u);
    EXPECT_TRUE(same_bits(p[0], 0.1));
    EXPECT_TRUE(same_bits(p[1], 0.2));
    EXPECT_EQ(counter.calls, 1);
}

TEST(LevenbergMarquardt, FindsTheRootOfALinearResidual) {
    // J = I, so every damped step removes 1 / (1 + lambda) of the residual;
    // with lambda at its floor of 1.5 the tolerance is met within 100 steps.
    CallCounter counter;
    const Vector p = quelmar::levenberg_marquardt(counted_shift, &counter, vec({0.0, 0.0}), 100, 1e-4, 1e-9);
    EXPECT_NEAR(p[0], 3.0, 1e-9);
    EXPECT_NEAR(p[1], -2.0, 1e-9);
    // One evaluation to start, then three per iteration (two columns and the trial).
    EXPECT_EQ((counter.calls - 1) % 3, 0);
    EXPECT_LT(counter.calls, 1 + 3 * 100);
}

void not_a_number(const void*, const Vector& p, Vector& out) { out.assign_fill(std::nan(""), p.size() + 2); }

TEST(LevenbergMarquardt, SingularDampedMatrixFailsOnTheFollowingProduct) {
    EXPECT_THROW_MSG(quelmar::levenberg_marquardt(not_a_number, nullptr, vec({1, 2, 3}), 100, 1e-4, 1e-9),
                     std::invalid_argument, "矩阵列数与列向量长度不同，不能进行矩阵左乘！");
    Vector curve(20, std::nan(""));
    EXPECT_THROW_MSG(quelmar::fit_sigmoid(curve), std::invalid_argument,
                     "矩阵列数与列向量长度不同，不能进行矩阵左乘！");
}

TEST(FitSigmoid, ReturnsTheParametersOfAnExactLogistic) {
    const Vector y = logistic(2000.0, 22.0, 0.6, 40);
    const Vector start = sigmoid_start(y);
    EXPECT_NEAR(start[0], 1.9997, 5e-5);
    EXPECT_EQ(start[1], 21.0);

    const quelmar::SigmoidParams fit = quelmar::fit_sigmoid(y);
    EXPECT_NEAR(fit.amplitude, 2000.0, 2000.0 * 1e-9);
    EXPECT_NEAR(fit.midpoint, 22.0, 22.0 * 1e-9);
    EXPECT_NEAR(fit.steepness, 0.6, 0.6 * 1e-9);

    // It started where described and stopped on the tolerance: the
    // reference iteration from that start gives the same bits within a few
    // steps, and the residual at the result is below 1e-9.
    CurveData data{Vector(), y};
    data.x.assign_sequence(1.0, 1.0, 40);
    const ReferenceRun run = reference_lm(quelmar::sigmoid_residual, &data, start, 100, 1e-4, 1e-9);
    EXPECT_LT(run.accepted + run.rejected, 10);
    EXPECT_TRUE(same_bits(fit.amplitude, run.params[0] * 1000.0));
    EXPECT_TRUE(same_bits(fit.midpoint, run.params[1]));
    EXPECT_TRUE(same_bits(fit.steepness, run.params[2]));
    Vector r;
    quelmar::sigmoid_residual(&data, run.params, r);
    double sum = 0.0;
    for (double x : r) sum += x * x;
    EXPECT_LT(std::sqrt(sum), 1e-9);
}

TEST(FitSigmoid, RefusesACurveWithoutASecondDerivative) {
    EXPECT_THROW_MSG(quelmar::fit_sigmoid(vec({5.0})), std::invalid_argument, "数组过少无法操作。");
}

// Curves that drive the iteration through accepted and rejected steps, a
// stalled damping and the iteration limit.
struct Case {
    const char* name;
    std::function<Vector()> curve;
    int max_iterations;
    Stop stop;
};

class SameBitsAsReference : public ::testing::TestWithParam<Case> {};

TEST_P(SameBitsAsReference, OnEveryCurve) {
    const Vector y = GetParam().curve();
    CurveData data{Vector(), y};
    data.x.assign_sequence(1.0, 1.0, y.size());
    const Vector start = sigmoid_start(y);
    const int limit = GetParam().max_iterations;
    const ReferenceRun run = reference_lm(quelmar::sigmoid_residual, &data, start, limit, 1e-4, 1e-9);
    const Vector p = quelmar::levenberg_marquardt(quelmar::sigmoid_residual, &data, start, limit, 1e-4, 1e-9);
    EXPECT_EQ(run.stop, GetParam().stop);
    ASSERT_EQ(p.size(), 3u);
    for (size_t i = 0; i < 3; ++i) EXPECT_TRUE(same_bits(p[i], run.params[i])) << i << ": " << p[i];
    if (limit == 100) {
        const quelmar::SigmoidParams fit = quelmar::fit_sigmoid(y);
        EXPECT_TRUE(same_bits(fit.amplitude, run.params[0] * 1000.0));
        EXPECT_TRUE(same_bits(fit.midpoint, run.params[1]));
        EXPECT_TRUE(same_bits(fit.steepness, run.params[2]));
    }
}

Vector noisy_logistic() {
    Vector y = logistic(8000.0, 27.5, 0.45, 45);
    for (size_t i = 0; i < y.size(); ++i) y[i] += 40.0 * std::sin(static_cast<double>(i) * 1.7);
    return y;
}

Vector late_weak_curve() {
    Vector y = logistic(400.0, 38.0, 0.3, 45);
    for (size_t i = 0; i < y.size(); ++i) y[i] += 15.0 * std::sin(static_cast<double>(i) * 2.3) + 0.5 * i;
    return y;
}

Vector flat_floor() { return Vector(40, 0.01); }

Vector falling_curve() {
    Vector y(30);
    for (size_t i = 0; i < y.size(); ++i) y[i] = 3000.0 - 90.0 * static_cast<double>(i);
    return y;
}

INSTANTIATE_TEST_SUITE_P(Curves, SameBitsAsReference,
                         ::testing::Values(Case{"exact", [] { return logistic(2000.0, 22.0, 0.6, 40); }, 100,
                                                Stop::kTolerance},
                                           Case{"noisy", noisy_logistic, 100, Stop::kDamping},
                                           Case{"noisy_three_steps", noisy_logistic, 3, Stop::kLimit},
                                           Case{"late_weak", late_weak_curve, 100, Stop::kDamping},
                                           Case{"flat_floor", flat_floor, 100, Stop::kLimit},
                                           Case{"falling", falling_curve, 100, Stop::kDamping}),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
