// Internal routines of the peak decomposition: the maximum detector, the
// fit residual and the damped least-squares minimiser.
#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <stdexcept>
#include <vector>

#include "expect_throw.h"
#include "numeric/vector.h"
#include "peaks/lm_solve.h"
#include "peaks/model.h"
#include "peaks/peak_detection.h"

namespace {

using quelmar::Vector;

Vector vec(std::initializer_list<double> values) { return Vector::copy_of(values.begin(), values.size()); }

std::vector<std::size_t> maxima(std::initializer_list<double> values) {
    const quelmar::IndexList idx = quelmar::local_max_indices(vec(values));
    std::vector<std::size_t> out;
    for (std::size_t k = 0; k < idx.size(); ++k) out.push_back(idx[k]);
    return out;
}

TEST(LocalMaxIndices, ReportsOnlyStrictInteriorMaxima) {
    EXPECT_EQ(maxima({0, 1, 3, 2, 5, 4}), (std::vector<std::size_t>{2, 4}));
    EXPECT_TRUE(maxima({0, 1, 1, 0}).empty());  // a flat top is no peak
    EXPECT_TRUE(maxima({3, 2, 1}).empty());     // nor is the first value
    EXPECT_TRUE(maxima({1, 2, 3}).empty());     // nor the last
    EXPECT_EQ(maxima({-3, -1, -2}), (std::vector<std::size_t>{1}));
    EXPECT_TRUE(maxima({0, NAN, 0}).empty());  // a NaN difference has no sign
}

TEST(LocalMaxIndices, CurvesTooShortForAnInteriorHaveNone) {
    EXPECT_TRUE(maxima({}).empty());
    EXPECT_TRUE(maxima({1}).empty());
    EXPECT_TRUE(maxima({1, 2}).empty());
}

TEST(MgfResidual, IgnoresTrailingParametersAndSubtractsTheCurve) {
    MgfHandle handle{vec({69, 70, 71}), vec({1, 1, 1}), MgfOptions{}};
    Vector out;
    quelmar::mgf_residual(&handle, vec({2, 70, 1, 1, 71, 1, 99}), out);
    ASSERT_EQ(out.size(), 3u);
    const double e = std::exp(-0.5);
    EXPECT_EQ(out[0], (2 * e + std::exp(-2.0)) - 1);
    EXPECT_EQ(out[1], (2 + e) - 1);
    EXPECT_EQ(out[2], (2 * e + 1) - 1);
}

// A linear residual M p - t: the least-squares minimum is known exactly.
struct LinearProblem {
    double m[4][2];
    double t[4];
};

void linear_residual(const void* context, const Vector& p, Vector& out) {
    const auto& lp = *static_cast<const LinearProblem*>(context);
    out.assign_fill(0.0, 4);
    for (int i = 0; i < 4; ++i) out[i] = lp.m[i][0] * p[0] + lp.m[i][1] * p[1] - lp.t[i];
}

TEST(LmSolve, ReachesTheLeastSquaresSolutionOfALinearProblem) {
    // Rows (1, x) for x = 0..3 and targets 1, 3, 2, 5: the regression line
    // 1.1 + 1.1 x, worked out by hand from the normal equations.
    const LinearProblem lp{{{1, 0}, {1, 1}, {1, 2}, {1, 3}}, {1, 3, 2, 5}};
    Vector p = vec({0, 0});
    quelmar::lm_solve(linear_residual, &lp, p);
    EXPECT_NEAR(p[0], 1.1, 1e-6);
    EXPECT_NEAR(p[1], 1.1, 1e-6);
}

void flat_residual(const void*, const Vector& p, Vector& out) {
    out.assign_fill(1.0, 3);
    (void)p;
}

TEST(LmSolve, AZeroGradientEndsAtTheStartShiftedByTheDifferenceStep) {
    Vector p = vec({1.0, -2.0});
    quelmar::lm_solve(flat_residual, nullptr, p);
    EXPECT_EQ(p[0], 1.0 + 5e-8);
    EXPECT_EQ(p[1], -2.0 + 5e-8);
}

// A slightly concave residual of p[0] alone: the damped first step from
// p[0] = 2 lands closer to the root than its linear model predicts, so its
// gain ratio exceeds 1 (about 1.0004) and the damping drops to 0. The other
// parameters leave zero rows in the normal matrix.
void concave_residual(const void*, const Vector& p, Vector& out) {
    const double u = p[0] - 1.0;
    out.assign_fill(u - 0.02 * (u * u), 1);
}

TEST(LmSolve, AfterTheDampingReachesZeroASingularSystemIsRefused) {
    // With two unused parameters elimination finds an all-zero pivot column
    // and the inverse keeps its augmented shape, which the step refuses.
    Vector p = vec({2.0, 5.0, 6.0});
    EXPECT_THROW_MSG(quelmar::lm_solve(concave_residual, nullptr, p), std::invalid_argument,
                     "矩阵列数与列向量长度不同，不能进行矩阵左乘！");
    EXPECT_EQ(p[0], 2.0);  // untouched on failure
    EXPECT_EQ(p[2], 6.0);
}

TEST(LmSolve, AZeroLastPivotGivesANonFiniteStepThatIsRejected) {
    // With one unused parameter the only zero pivot is the last one: the
    // inverse is "successful" with infinite elements, the step is not a
    // number and is rejected, and the fit ends after its one accepted step.
    Vector p = vec({2.0, 5.0});
    quelmar::lm_solve(concave_residual, nullptr, p);
    EXPECT_NEAR(p[0], 1.0, 1e-2);
    EXPECT_EQ(p[1], (5.0 + 5e-8) + 5e-8);  // two Jacobians, each shifts it
}

}  // namespace
