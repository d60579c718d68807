// The damped least-squares fit through the public interface.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "QuelmarAlg.h"
#include "gbk.h"
#include "peak_test_support.h"

namespace {

using namespace peaks_test;
using quelmar_test::gbk;

// The exact sum of the peaks at each temperature.
V gaussian_sum(const V& x, const Fields& p) {
    V y(x.size(), 0.0);
    for (size_t k = 0; k < x.size(); ++k)
        for (size_t i = 0; i < p.center.size(); ++i) {
            const double d = x[k] - p.center[i];
            y[k] += p.amplitude[i] * std::exp(-d * d / (2 * p.sigma[i] * p.sigma[i]));
        }
    return y;
}

class ExactCurve : public testing::TestWithParam<Fields> {};

TEST_P(ExactCurve, IsRecoveredFromAStartNearTheTruth) {
    const Fields truth = GetParam();
    const V x = grid(60.0, 0.05, 701);
    const Handle handle(x, gaussian_sum(x, truth));
    Fields start = truth;
    for (size_t i = 0; i < truth.center.size(); ++i) {
        start.amplitude[i] *= 1.04;
        start.center[i] += i % 2 == 0 ? 0.15 : -0.1;
        start.sigma[i] *= 0.93;
    }
    const Set set(start.amplitude, start.center, start.sigma);
    ASSERT_EQ(alg_mgf_solve(handle.p, set.p), ALG_OK);
    const Fields got = read(set.p);
    // The fit stops once a step is below 1e-6 of the norm of the parameter
    // vector, so that is the scale its accuracy is measured on: a narrow
    // peak's width can be off by a few 1e-6 of itself, yet well inside it.
    double error = 0, scale = 0;
    for (const V Fields::*field : {&Fields::amplitude, &Fields::center, &Fields::sigma}) {
        ASSERT_EQ((got.*field).size(), (truth.*field).size());
        for (size_t i = 0; i < (truth.*field).size(); ++i) {
            error += std::pow((got.*field)[i] - (truth.*field)[i], 2);
            scale += std::pow((truth.*field)[i], 2);
        }
    }
    EXPECT_LE(std::sqrt(error), 1e-6 * std::sqrt(scale));
}

INSTANTIATE_TEST_SUITE_P(Peaks, ExactCurve,
                         testing::Values(Fields{{8, 5}, {77, 80.5}, {1.1, 0.8}},
                                         Fields{{4, 9, 2.5}, {72, 84.5, 87}, {0.7, 1.3, 0.6}}));

TEST(MgfSolve, AZeroGradientEndsAtTheStart) {
    const Set empty({}, {}, {});
    ASSERT_EQ(alg_mgf_solve(Handle({70, 71, 72}, {1, 2, 1}).p, empty.p), ALG_OK);
    EXPECT_TRUE(read(empty.p).center.empty());
    // Every Jacobian entry of a peak far from the data underflows to 0: the
    // fit ends where the central differences leave it.
    const Set far({2}, {500}, {1});
    ASSERT_EQ(alg_mgf_solve(Handle(grid(60.0, 0.5, 71), V(71, 1.0)).p, far.p), ALG_OK);
    const Fields f = read(far.p);
    EXPECT_EQ(f.amplitude, (V{2 + 5e-8}));
    EXPECT_EQ(f.center, (V{500 + 5e-8}));
    EXPECT_EQ(f.sigma, (V{1 + 5e-8}));
}

TEST(MgfSolve, ValuesBeyondTheCentresAreNotTouched) {
    const V x = grid(70.0, 0.1, 101);
    const Set set({3.1, 42}, {75.1}, {0.9, 43});
    ASSERT_EQ(alg_mgf_solve(Handle(x, gaussian_sum(x, Fields{{3}, {75}, {1}})).p, set.p), ALG_OK);
    const Fields f = read(set.p);
    ASSERT_EQ(f.amplitude.size(), 2u);
    EXPECT_NEAR(f.center[0], 75, 1e-6);
    EXPECT_EQ(f.amplitude[1], 42);
    EXPECT_EQ(f.sigma[1], 43);
}

TEST(MgfSolve, FailuresLeaveTheSetAsItWas) {
    const V x = grid(60.0, 0.5, 50);
    const Handle unequal(x, V(49, 1.0));
    const Set one({1}, {70}, {1});
    EXPECT_EQ(alg_mgf_solve(unequal.p, one.p), ALG_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(std::string(get_last_error()), gbk("两向量长度不等，元素个数不同不能相加。"));
    EXPECT_EQ(read(one.p).center, (V{70}));
    const Handle handle(x, V(50, 1.0));
    for (const bool short_sigma : {false, true}) {
        const V a = short_sigma ? V{1, 1} : V{1}, c = short_sigma ? V{1} : V{1, 1};
        const Set set(a, {70, 75}, c);
        EXPECT_EQ(alg_mgf_solve(handle.p, set.p), ALG_ERR_INVALID_ARGUMENT);
        EXPECT_EQ(std::string(get_last_error()), gbk("GaussCoeff 数据无效。"));
        const Fields f = read(set.p);
        EXPECT_EQ(f.amplitude, a);
        EXPECT_EQ(f.center, (V{70, 75}));
        EXPECT_EQ(f.sigma, c);
    }
}

}  // namespace
