// The logistic model, its Levenberg-Marquardt fit and the sigmoid Ct.
#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <stdexcept>

#include "QuelmarAlg.h"
#include "amplification/sigmoid.h"
#include "expect_throw.h"

namespace {

using quelmar::Vector;

Vector vec(std::initializer_list<double> values) { return Vector::copy_of(values.begin(), values.size()); }

Vector logistic(double a, double x0, double k, std::size_t n) {
    Vector y(n);
    for (std::size_t i = 0; i < n; ++i) y[i] = a / (std::exp((static_cast<double>(i + 1) - x0) * (-k)) + 1.0);
    return y;
}

TEST(SigmoidExports, EvaluateTheModelAndReadTheBendOfTheStoredFit) {
    const double params[] = {1000.0, 20.0, 0.5};
    double values[] = {20.0, 30.0};
    ASSERT_EQ(alg_sigmoid(params, values, 2), ALG_OK);
    EXPECT_EQ(values[0], 500.0);
    EXPECT_EQ(values[1], 1000.0 / (std::exp(-5.0) + 1.0));  // A used as it is
    EXPECT_EQ(alg_sigmoid(params, nullptr, 0), ALG_OK);

    // (A, x0, k): a plausible fit, one below each limit, both limits met
    // exactly, and a NaN plateau (a record the host filled).
    const double fits[5][3] = {
        {5000.0, 25.0, 0.5}, {9.99, 25.0, 0.5}, {5000.0, 25.0, 0.009}, {10.0, 25.0, 0.01}, {NAN, 25.0, 0.5}};
    FittingResult records[5] = {};
    for (int i = 0; i < 5; ++i) {
        records[i].sigmoid_amplitude = fits[i][0];
        records[i].sigmoid_midpoint = fits[i][1];
        records[i].sigmoid_steepness = fits[i][2];
    }
    double ct[6] = {0, 0, 0, 0, 0, -7.0};
    ASSERT_EQ(alg_sigmoid_batch_calc_ct(records, 5, 12345, ct), ALG_OK);
    // 25 - ln(2 + sqrt 3) / 0.5 - 1.5.
    EXPECT_NEAR(ct[0], 20.86608420615037, 1e-13);
    EXPECT_TRUE(std::isnan(ct[1]));
    EXPECT_TRUE(std::isnan(ct[2]));
    EXPECT_NEAR(ct[3], 25.0 - 131.69578969248166 - 1.5, 1e-11);
    EXPECT_TRUE(std::isnan(ct[4]));
    EXPECT_EQ(ct[5], -7.0);  // only recordCount values are written
}

TEST(SigmoidResidual, IsModelMinusDataWithTheAmplitudeInThousands) {
    const quelmar::CurveData curve{vec({1, 2}), vec({100, 200})};
    Vector r;
    quelmar::sigmoid_residual(&curve, vec({1.0, 1.0, 0.5}), r);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0], 500.0 - 100.0);
    EXPECT_EQ(r[1], 1000.0 / (std::exp(-0.5) + 1.0) - 200.0);
}

// r = p - (3, -2), counting its evaluations. Its Jacobian is the identity,
// so a damped step removes 1 / (1 + damping) of the residual.
void counted_shift(const void* calls, const Vector& p, Vector& out) {
    ++*static_cast<int*>(const_cast<void*>(calls));
    out = p;
    out -= vec({3.0, -2.0});
}

void not_a_number(const void*, const Vector& p, Vector& out) { out.assign_fill(std::nan(""), p.size() + 2); }

TEST(LevenbergMarquardt, DampingScheduleOnALinearResidual) {
    int calls = 0;
    const Vector p0 = quelmar::levenberg_marquardt(counted_shift, &calls, vec({0.1, 0.2}), 0, 1e-4, 1e-9);
    EXPECT_EQ(p0[0], 0.1);  // no iteration: the start, after one evaluation
    EXPECT_EQ(p0[1], 0.2);
    EXPECT_EQ(calls, 1);

    // Damping 2 removes a third of the residual; then 1.5 (halved, but not
    // below its floor) removes 1 / 2.5 of what is left, and keeps doing so.
    const double remaining[] = {2.0 / 3.0, 2.0 / 3.0 * 0.6, 2.0 / 3.0 * 0.6 * 0.6};
    for (int limit = 1; limit <= 3; ++limit) {
        calls = 0;
        const Vector p = quelmar::levenberg_marquardt(counted_shift, &calls, vec({0.0, 0.0}), limit, 1e-4, 1e-9);
        EXPECT_NEAR(p[0], 3.0 * (1.0 - remaining[limit - 1]), 1e-9) << limit;
        EXPECT_NEAR(p[1], -2.0 * (1.0 - remaining[limit - 1]), 1e-9) << limit;
        EXPECT_EQ(calls, 1 + 3 * limit) << limit;  // two columns and a trial per iteration
    }
    calls = 0;
    const Vector root = quelmar::levenberg_marquardt(counted_shift, &calls, vec({0.0, 0.0}), 100, 1e-4, 1e-9);
    EXPECT_NEAR(root[0], 3.0, 1e-9);
    EXPECT_NEAR(root[1], -2.0, 1e-9);
    EXPECT_LT(calls, 1 + 3 * 100);  // stopped on the tolerance

    EXPECT_THROW_MSG(quelmar::levenberg_marquardt(not_a_number, nullptr, vec({1, 2, 3}), 100, 1e-4, 1e-9),
                     std::invalid_argument, "矩阵列数与列向量长度不同，不能进行矩阵左乘！");
}

TEST(FitSigmoid, ExactLogisticGivesItsParametersAndNoisyOnePinnedBits) {
    const quelmar::SigmoidParams exact = quelmar::fit_sigmoid(logistic(2000.0, 22.0, 0.6, 40));
    EXPECT_NEAR(exact.amplitude, 2000.0, 2000.0 * 1e-9);
    EXPECT_NEAR(exact.midpoint, 22.0, 22.0 * 1e-9);
    EXPECT_NEAR(exact.steepness, 0.6, 0.6 * 1e-9);

    // Stops when the damping runs away, after accepted and rejected steps:
    // the bits depend on the starting values and on every operation of every
    // damped step, in order.
    Vector y = logistic(8000.0, 27.5, 0.45, 45);
    for (std::size_t i = 0; i < y.size(); ++i) y[i] += 40.0 * std::sin(static_cast<double>(i) * 1.7);
    const quelmar::SigmoidParams noisy = quelmar::fit_sigmoid(y);
    EXPECT_EQ(noisy.amplitude, 0x1.f3d67b8c7893p+12);   // 7997.405...
    EXPECT_EQ(noisy.midpoint, 0x1.b7f7227bcb1f2p+4);    // 27.4978...
    EXPECT_EQ(noisy.steepness, 0x1.cd23f64b3024ep-2);  // 0.450332...

    EXPECT_THROW_MSG(quelmar::fit_sigmoid(vec({5.0})), std::invalid_argument, "数组过少无法操作。");
}

}  // namespace
