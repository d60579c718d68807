// Synthetic melting curves through the public interface.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "QuelmarAlg.h"
#include "gbk.h"
#include "peak_test_support.h"

namespace {

using namespace peaks_test;
using quelmar_test::gbk;

V stim_peak(const Handle& handle, const Set& set, const V& background) {
    double* values = nullptr;
    size_t count = 0;
    EXPECT_EQ(alg_mgf_melting_stim_peak(handle.p, set.p, background.data(), &values, &count), ALG_OK)
        << get_last_error();
    return take(values, count);
}

// The curve; background receives what was derived from the handle's data.
V stimulate(const Handle& handle, const Set& set, V& background) {
    double* values = nullptr;
    size_t count = 0;
    background.assign(3, 99.0);
    EXPECT_EQ(alg_mgf_melting_stimulate(handle.p, set.p, background.data(), &values, &count), ALG_OK)
        << get_last_error();
    return take(values, count);
}

// The synthetic curve written as peaks (sigma halved) on the logistic
// p0 / (exp(p2 (t - p1)) + 1), plus the decaying ripple.
double synthetic(double t, const Fields& p, const V& bg) {
    double s = 0;
    for (size_t i = 0; i < p.center.size(); ++i) {
        const double sd = p.sigma[i] / 2;
        s += p.amplitude[i] * std::exp(-(t - p.center[i]) * (t - p.center[i]) / (2 * sd * sd));
    }
    return s + bg[0] / (std::exp(bg[2] * (t - bg[1])) + 1) + bg[0] * std::exp(-0.0451 * t) * std::sin(t / 2);
}

TEST(StimPeak, GivesTheCurveAtEachCentre) {
    const Handle handle(grid(60.0, 1.0, 11), V(11, 0.0));
    const V zero{0, 0, 0};
    EXPECT_EQ(stim_peak(handle, Set({2}, {70}, {2}), zero), (V{2}));
    // Each centre includes the other peak's tail.
    const V two = stim_peak(handle, Set({2, 3}, {70, 72}, {2, 2}), zero);
    ASSERT_EQ(two.size(), 2u);
    EXPECT_DOUBLE_EQ(two[0], 2 + 3 * std::exp(-2.0));
    EXPECT_DOUBLE_EQ(two[1], 3 + 2 * std::exp(-2.0));
    // An empty set gives the background at the eleventh temperature.
    const V bg{2, 65, 0.5};
    const V empty = stim_peak(handle, Set({}, {}, {}), bg);
    ASSERT_EQ(empty.size(), 1u);
    EXPECT_NEAR(empty[0], synthetic(70, Fields{}, bg), 1e-12);
}

TEST(Stimulate, DerivesTheBackgroundFromTheCurve) {
    const V x = grid(60.0, 1.0, 20);
    V y(x.size());
    for (size_t k = 0; k < y.size(); ++k) y[k] = static_cast<double>(k) + 1;
    const Handle handle(x, y);
    const Fields peaks{{3, 1}, {70.5, 75.2}, {2, 3}};
    V bg;
    const V curve = stimulate(handle, Set(peaks.amplitude, peaks.center, peaks.sigma), bg);
    // Level: the mean of y before the first centre (y[0..9]); midpoint: the
    // last temperature below the last centre.
    EXPECT_EQ(bg, (V{5.5, 75, 3.0}));
    ASSERT_EQ(curve.size(), x.size());
    for (size_t k = 0; k < x.size(); ++k) EXPECT_NEAR(curve[k], synthetic(x[k], peaks, bg), 1e-12) << k;
    // A first centre at or below the first temperature averages all but the
    // last value, and the midpoint search starts at index 1; one between x[1]
    // and x[2] averages y[0] alone.
    stimulate(handle, Set({1}, {59}, {1}), bg);
    EXPECT_EQ(bg, (V{10, 61, 3.0}));
    stimulate(handle, Set({1}, {61.5}, {1}), bg);
    EXPECT_EQ(bg[0], 1.0);
}

TEST(Stimulate, RefusesWhatItCannotDrawAndWritesNothing) {
    const V eleven = grid(60.0, 1.0, 11);
    const V ten(eleven.begin(), eleven.end() - 1);
    const struct {
        V x, y;
        Fields set;
        const char* message;
        bool at_centres_too;  // the evaluation at the centres refuses it as well
    } cases[] = {
        {eleven, V(10, 1.0), {{1}, {65}, {1}}, "两向量长度不等，元素个数不同不能相加。", false},
        {{70}, {1}, {{1}, {65}, {1}}, "数组过少无法操作。", false},
        {ten, V(10, 1.0), {}, "数组过少无法操作。", true},  // the default peak needs x[10]
        {eleven, V(11, 1.0), {{1}, {65, 66}, {1, 1}}, "GaussCoeff 数据无效。", true},
        {eleven, V(11, 1.0), {{1, 1}, {65, 66}, {1}}, "GaussCoeff 数据无效。", true},
    };
    for (const auto& c : cases) {
        const Handle handle(c.x, c.y);
        const Set set(c.set.amplitude, c.set.center, c.set.sigma);
        V bg{7, 8, 9};
        double marker = 0;
        double* values = &marker;
        size_t count = 5;
        EXPECT_EQ(alg_mgf_melting_stimulate(handle.p, set.p, bg.data(), &values, &count), ALG_ERR_INVALID_ARGUMENT);
        EXPECT_EQ(std::string(get_last_error()), gbk(c.message));
        EXPECT_EQ(bg, (V{7, 8, 9}));
        if (c.at_centres_too) {
            EXPECT_EQ(alg_mgf_melting_stim_peak(handle.p, set.p, bg.data(), &values, &count), ALG_ERR_INVALID_ARGUMENT);
            EXPECT_EQ(std::string(get_last_error()), gbk(c.message));
        }
        EXPECT_EQ(values, &marker);
        EXPECT_EQ(count, 5u);
    }
}

}  // namespace
