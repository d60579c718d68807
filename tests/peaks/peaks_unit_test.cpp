// Internal routines of the peak decomposition: the maximum detector, the
// fit residual and the damped least-squares minimiser once undamped (the
// fit of exact curves runs through the interface).
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
    EXPECT_EQ(maxima({-3, -1, -2}), (std::vector<std::size_t>{1}));
    EXPECT_TRUE(maxima({0, 1, 1, 0}).empty());  // a flat top is no peak
    EXPECT_TRUE(maxima({3, 2, 1}).empty());     // nor is the first value
    EXPECT_TRUE(maxima({1, 2, 3}).empty());     // nor the last
    EXPECT_TRUE(maxima({0, NAN, 0}).empty());   // a NaN difference has no sign
    EXPECT_TRUE(maxima({}).empty() && maxima({1}).empty() && maxima({1, 2}).empty());
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

// A slightly concave residual of p[0] alone: the first step from p[0] = 2
// beats its linear model (gain ratio above 1), so the damping drops to 0 for
// good. Any further parameter leaves a zero row in the normal matrix.
void concave_residual(const void*, const Vector& p, Vector& out) {
    const double u = p[0] - 1.0;
    out.assign_fill(u - 0.02 * (u * u), 1);
}

TEST(LmSolve, UndampedStepsMeetTheSingularNormalMatrix) {
    // Two unused parameters: the inverse keeps its augmented shape, the step
    // product refuses it and p stays as it was.
    Vector p = vec({2.0, 5.0, 6.0});
    EXPECT_THROW_MSG(quelmar::lm_solve(concave_residual, nullptr, p), std::invalid_argument,
                     "矩阵列数与列向量长度不同，不能进行矩阵左乘！");
    EXPECT_EQ(p[0], 2.0);
    EXPECT_EQ(p[2], 6.0);
    // One unused parameter: only the last pivot is zero, the NaN step is
    // rejected, and the fit keeps its one accepted step (two Jacobians, each
    // shifting q[1]).
    Vector q = vec({2.0, 5.0});
    quelmar::lm_solve(concave_residual, nullptr, q);
    EXPECT_NEAR(q[0], 1.0, 1e-2);
    EXPECT_EQ(q[1], (5.0 + 5e-8) + 5e-8);
}

}  // namespace
