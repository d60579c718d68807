// Synthetic melting curves through the public interface.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "QuelmarAlg.h"
#include "gbk.h"
#include "peak_test_support.h"

namespace {

using peaks_test::Handle;
using peaks_test::Set;
using quelmar_test::gbk;
using V = std::vector<double>;

V stim_peak(const Handle& handle, const Set& set, const V& background) {
    double* values = nullptr;
    size_t count = 0;
    EXPECT_EQ(alg_mgf_melting_stim_peak(handle.p, set.p, background.data(), &values, &count), ALG_OK)
        << get_last_error();
    return peaks_test::take_values(values, count);
}

V stimulate(const Handle& handle, const Set& set, V& background) {
    double* values = nullptr;
    size_t count = 0;
    background.assign(3, 99.0);
    EXPECT_EQ(alg_mgf_melting_stimulate(handle.p, set.p, background.data(), &values, &count), ALG_OK)
        << get_last_error();
    return peaks_test::take_values(values, count);
}

// The synthetic curve written as peaks (sigma halved) on the logistic
// p0 / (exp(p2 (t - p1)) + 1), plus the decaying ripple.
double synthetic(double t, const V& a, const V& b, const V& c, const V& bg) {
    double s = 0;
    for (size_t i = 0; i < b.size(); ++i) {
        const double sd = c[i] / 2;
        s += a[i] * std::exp(-(t - b[i]) * (t - b[i]) / (2 * sd * sd));
    }
    return s + bg[0] / (std::exp(bg[2] * (t - bg[1])) + 1) + bg[0] * std::exp(-0.0451 * t) * std::sin(t / 2);
}

TEST(StimPeak, APeakOnAZeroBackgroundIsItsHeight) {
    Handle handle({60, 61, 62}, {0, 0, 0});
    Set set({2}, {70}, {2});
    EXPECT_EQ(stim_peak(handle, set, {0, 0, 0}), (V{2}));
}

TEST(StimPeak, EachCentreIncludesTheOtherPeaksTail) {
    Handle handle({60, 61, 62}, {0, 0, 0});
    Set set({2, 3}, {70, 72}, {2, 2});
    const V v = stim_peak(handle, set, {0, 0, 0});
    ASSERT_EQ(v.size(), 2u);
    EXPECT_DOUBLE_EQ(v[0], 2 + 3 * std::exp(-2.0));
    EXPECT_DOUBLE_EQ(v[1], 3 + 2 * std::exp(-2.0));
}

TEST(StimPeak, AnEmptySetGivesTheBackgroundAtTheEleventhTemperature) {
    const V x = peaks_test::grid(60.0, 1.0, 11);
    Handle handle(x, V(x.size(), 0.0));
    Set empty({}, {}, {});
    const V bg{2, 65, 0.5};
    const V v = stim_peak(handle, empty, bg);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_NEAR(v[0], synthetic(70, {}, {}, {}, bg), 1e-12);

    Handle short_handle(peaks_test::grid(60.0, 1.0, 10), V(10, 0.0));
    double* values = nullptr;
    size_t count = 7;
    EXPECT_EQ(alg_mgf_melting_stim_peak(short_handle.p, empty.p, bg.data(), &values, &count),
              ALG_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(std::string(get_last_error()), gbk("数组过少无法操作。"));
    EXPECT_EQ(count, 7u);
}

TEST(Stimulate, DerivesTheBackgroundFromTheCurve) {
    const V x = peaks_test::grid(60.0, 1.0, 20);
    V y(x.size());
    for (size_t k = 0; k < y.size(); ++k) y[k] = static_cast<double>(k) + 1;
    Handle handle(x, y);
    const V a{3, 1}, b{70.5, 75.2}, c{2, 3};
    Set set(a, b, c);
    V bg;
    const V curve = stimulate(handle, set, bg);
    // Level: mean of y before the first centre (y[0..9]); midpoint: the last
    // temperature below the last centre.
    EXPECT_EQ(bg, (V{5.5, 75, 3.0}));
    ASSERT_EQ(curve.size(), x.size());
    for (size_t k = 0; k < x.size(); ++k) EXPECT_NEAR(curve[k], synthetic(x[k], a, b, c, bg), 1e-12) << k;
}

TEST(Stimulate, TheLevelWindowFollowsTheFirstCentre) {
    const V x = peaks_test::grid(60.0, 1.0, 20);
    V y(x.size());
    for (size_t k = 0; k < y.size(); ++k) y[k] = static_cast<double>(k) + 1;
    Handle handle(x, y);
    V bg;
    Set below({1}, {59}, {1});  // at or below the first temperature: all but the last value
    stimulate(handle, below, bg);
    EXPECT_EQ(bg[0], 10.0);
    EXPECT_EQ(bg[1], 61.0);  // the midpoint search starts at index 1
    Set early({1}, {61.5}, {1});  // between x[1] and x[2]: y[0] alone
    stimulate(handle, early, bg);
    EXPECT_EQ(bg[0], 1.0);
}

TEST(Stimulate, ReadsSigmaAsTwiceTheStandardDeviation) {
    const V x = peaks_test::grid(60.0, 1.0, 21);
    Handle handle(x, V(x.size(), 0.0));  // level 0: nothing but the peak
    Set set({1}, {70}, {2});
    V bg;
    const V curve = stimulate(handle, set, bg);
    EXPECT_EQ(curve[11], std::exp(-0.5));  // 1 degree from the centre
    double* values = nullptr;
    size_t count = 0;
    ASSERT_EQ(alg_mgf_multi_gauss(handle.p, set.p, &values, &count), ALG_OK);
    EXPECT_EQ(peaks_test::take_values(values, count)[12], std::exp(-0.5));  // 2 degrees
}

TEST(Stimulate, RefusesWhatItCannotDrawAndWritesNothing) {
    struct Case {
        V x, y, a, b, c;
        const char* message;
    };
    const V eleven = peaks_test::grid(60.0, 1.0, 11);
    const Case cases[] = {
        {eleven, V(10, 1.0), {1}, {65}, {1}, "两向量长度不等，元素个数不同不能相加。"},
        {{70}, {1}, {1}, {65}, {1}, "数组过少无法操作。"},
        {V(eleven.begin(), eleven.end() - 1), V(10, 1.0), {}, {}, {}, "数组过少无法操作。"},
        {eleven, V(11, 1.0), {1}, {65, 66}, {1, 1}, "GaussCoeff 数据无效。"},
        {eleven, V(11, 1.0), {1, 1}, {65, 66}, {1}, "GaussCoeff 数据无效。"},
    };
    for (const Case& c : cases) {
        Handle handle(c.x, c.y);
        Set set(c.a, c.b, c.c);
        V bg{7, 8, 9};
        double marker = 0;
        double* values = &marker;
        size_t count = 5;
        EXPECT_EQ(alg_mgf_melting_stimulate(handle.p, set.p, bg.data(), &values, &count), ALG_ERR_INVALID_ARGUMENT);
        EXPECT_EQ(std::string(get_last_error()), gbk(c.message));
        EXPECT_EQ(bg, (V{7, 8, 9}));
        EXPECT_EQ(values, &marker);
        EXPECT_EQ(count, 5u);
    }
    // The point evaluation refuses short fields too.
    Handle handle(eleven, V(11, 1.0));
    Set set({1}, {65, 66}, {1, 1});
    double* values = nullptr;
    size_t count = 0;
    const V bg{0, 0, 0};
    EXPECT_EQ(alg_mgf_melting_stim_peak(handle.p, set.p, bg.data(), &values, &count), ALG_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(std::string(get_last_error()), gbk("GaussCoeff 数据无效。"));
}

}  // namespace
