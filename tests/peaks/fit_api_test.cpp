// The damped least-squares fit through the public interface.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "QuelmarAlg.h"
#include "gbk.h"
#include "peak_test_support.h"

namespace {

using peaks_test::Fields;
using peaks_test::Handle;
using peaks_test::Set;
using quelmar_test::gbk;
using V = std::vector<double>;

struct Peaks {
    V amplitude, center, sigma;
};

// The exact sum of the peaks at each temperature.
V gaussian_sum(const V& x, const Peaks& p) {
    V y(x.size(), 0.0);
    for (size_t k = 0; k < x.size(); ++k)
        for (size_t i = 0; i < p.center.size(); ++i) {
            const double d = x[k] - p.center[i];
            y[k] += p.amplitude[i] * std::exp(-d * d / (2 * p.sigma[i] * p.sigma[i]));
        }
    return y;
}

// Interleaved (amplitude, center, sigma) per peak, the layout of the fit.
V interleaved(const V& a, const V& b, const V& c) {
    V p;
    for (size_t i = 0; i < b.size(); ++i) p.insert(p.end(), {a[i], b[i], c[i]});
    return p;
}

double norm(const V& v) {
    double s = 0;
    for (const double e : v) s += e * e;
    return std::sqrt(s);
}

class ExactCurve : public testing::TestWithParam<Peaks> {};

TEST_P(ExactCurve, IsRecoveredFromAStartNearTheTruth) {
    const Peaks truth = GetParam();
    const V x = peaks_test::grid(60.0, 0.05, 701);
    Handle handle(x, gaussian_sum(x, truth));
    Peaks start = truth;
    for (size_t i = 0; i < truth.center.size(); ++i) {
        start.amplitude[i] *= 1.04;
        start.center[i] += i % 2 == 0 ? 0.15 : -0.1;
        start.sigma[i] *= 0.93;
    }
    Set set(start.amplitude, start.center, start.sigma);
    ASSERT_EQ(alg_mgf_solve(handle.p, set.p), ALG_OK);
    const Fields f = peaks_test::read(set.p);
    // The fit stops once a step is below 1e-6 of the norm of the parameter
    // vector, so that is the scale its accuracy is measured on: a narrow
    // peak's width can be off by a few 1e-6 of itself, yet well inside it.
    const V got = interleaved(f.amplitude, f.center, f.sigma);
    V error = interleaved(truth.amplitude, truth.center, truth.sigma);
    ASSERT_EQ(got.size(), error.size());
    const double scale = norm(error);
    for (size_t i = 0; i < got.size(); ++i) error[i] = got[i] - error[i];
    EXPECT_LE(norm(error), 1e-6 * scale);
}

INSTANTIATE_TEST_SUITE_P(Peaks, ExactCurve,
                         testing::Values(Peaks{{8, 5}, {77, 80.5}, {1.1, 0.8}},
                                         Peaks{{10, 6, 3}, {77, 80.5, 86}, {1.2, 0.9, 1.5}},
                                         Peaks{{4, 9, 2.5}, {72, 84.5, 87}, {0.7, 1.3, 0.6}}));

TEST(MgfSolve, AnEmptySetStaysEmpty) {
    Handle handle({70, 71, 72}, {1, 2, 1});
    Set set({}, {}, {});
    ASSERT_EQ(alg_mgf_solve(handle.p, set.p), ALG_OK);
    const Fields f = peaks_test::read(set.p);
    EXPECT_TRUE(f.amplitude.empty() && f.center.empty() && f.sigma.empty());
}

TEST(MgfSolve, PeaksFarFromTheDataComeBackShiftedOnlyByTheDifferenceStep) {
    // Every Jacobian entry underflows to 0, so the fit ends at its start, as
    // the central differences leave it.
    const V x = peaks_test::grid(60.0, 0.5, 71);
    Handle handle(x, V(x.size(), 1.0));
    Set set({2}, {500}, {1});
    ASSERT_EQ(alg_mgf_solve(handle.p, set.p), ALG_OK);
    const Fields f = peaks_test::read(set.p);
    EXPECT_EQ(f.amplitude, (V{2 + 5e-8}));
    EXPECT_EQ(f.center, (V{500 + 5e-8}));
    EXPECT_EQ(f.sigma, (V{1 + 5e-8}));
}

TEST(MgfSolve, ValuesBeyondTheCentresAreNotTouched) {
    const V x = peaks_test::grid(70.0, 0.1, 101);
    Handle handle(x, gaussian_sum(x, Peaks{{3}, {75}, {1}}));
    Set set({3.1, 42}, {75.1}, {0.9, 43});
    ASSERT_EQ(alg_mgf_solve(handle.p, set.p), ALG_OK);
    const Fields f = peaks_test::read(set.p);
    ASSERT_EQ(f.amplitude.size(), 2u);
    EXPECT_NEAR(f.center[0], 75, 1e-6);
    EXPECT_EQ(f.amplitude[1], 42);
    EXPECT_EQ(f.sigma[1], 43);
}

TEST(MgfSolve, FailuresLeaveTheSetAsItWas) {
    const V x = peaks_test::grid(60.0, 0.5, 50);
    {
        Handle handle(x, V(49, 1.0));
        Set set({1}, {70}, {1});
        EXPECT_EQ(alg_mgf_solve(handle.p, set.p), ALG_ERR_INVALID_ARGUMENT);
        EXPECT_EQ(std::string(get_last_error()), gbk("两向量长度不等，元素个数不同不能相加。"));
        EXPECT_EQ(peaks_test::read(set.p).center, (V{70}));
    }
    Handle handle(x, V(50, 1.0));
    for (const bool short_sigma : {false, true}) {
        const V one{1}, two{1, 1};
        Set set(short_sigma ? two : one, {70, 75}, short_sigma ? one : two);
        EXPECT_EQ(alg_mgf_solve(handle.p, set.p), ALG_ERR_INVALID_ARGUMENT);
        EXPECT_EQ(std::string(get_last_error()), gbk("GaussCoeff 数据无效。"));
        const Fields f = peaks_test::read(set.p);
        EXPECT_EQ(f.center, (V{70, 75}));
        EXPECT_EQ(f.amplitude, short_sigma ? two : one);
    }
}

}  // namespace
