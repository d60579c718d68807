// Peak detection and the initial coefficients, through the public interface.
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
using quelmar_test::gbk;
using V = std::vector<double>;

using peaks_test::kUntouchedSet;

// Runs the estimating detector; the set is read and released.
Fields estimate(const V& x, const V& y, double peak_width, double other_options = 0.0) {
    Handle handle(x, y, peak_width, other_options);
    GaussCoeff* set = nullptr;
    EXPECT_EQ(alg_mgf_local_max_value_id(handle.p, &set), ALG_OK) << get_last_error();
    Fields f = peaks_test::read(set);
    alg_gausscoeff_release(&set);
    return f;
}

// The estimating detector fails with the given code and message and hands
// out nothing.
void expect_refused(const V& x, const V& y, double peak_width, int code, const char* utf8_message) {
    Handle handle(x, y, peak_width);
    GaussCoeff* set = kUntouchedSet;
    EXPECT_EQ(alg_mgf_local_max_value_id(handle.p, &set), code);
    EXPECT_EQ(std::string(get_last_error()), gbk(utf8_message));
    EXPECT_EQ(set, kUntouchedSet);
}

TEST(RawPeaks, OneFixedWidthPeakPerMaximumWhateverItsHeight) {
    const V x{60, 61, 62, 63, 64, 65};
    const V y{-5, -1, -3, -2, -0.5, -4};
    GaussCoeff* set = nullptr;
    ASSERT_EQ(alg_mgf_local_max_value_id_origin(x.data(), x.size(), y.data(), y.size(), &set), ALG_OK);
    const Fields f = peaks_test::read(set);
    alg_gausscoeff_release(&set);
    EXPECT_EQ(f.amplitude, (V{-1, -0.5}));
    EXPECT_EQ(f.center, (V{61, 64}));
    EXPECT_EQ(f.sigma, (V{1.7, 1.7}));
}

TEST(RawPeaks, RefusesXShorterThanY) {
    const V x{60, 61, 62};
    const V y{0, 1, 0, 0};
    GaussCoeff* set = kUntouchedSet;
    EXPECT_EQ(alg_mgf_local_max_value_id_origin(x.data(), x.size(), y.data(), y.size(), &set),
              ALG_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(std::string(get_last_error()), gbk("数组过少无法操作。"));
    EXPECT_EQ(set, kUntouchedSet);
}

TEST(RawPeaks, ACurveOfOneValueHasNoPeaks) {
    const double one = 1.0;
    GaussCoeff* set = nullptr;
    ASSERT_EQ(alg_mgf_local_max_value_id_origin(&one, 1, &one, 1, &set), ALG_OK);
    EXPECT_TRUE(peaks_test::read(set).center.empty());
    alg_gausscoeff_release(&set);
}

TEST(EstimatePeaks, RecoversTheWidthOfAnExactGaussian) {
    // 0.5 degree steps and peak_width 1.0: w = 2 samples (2.6 truncated), so
    // the reference is the mean height 1 degree either side of the maximum.
    const V x = peaks_test::grid(60.0, 0.5, 41);
    V y(x.size());
    for (size_t k = 0; k < x.size(); ++k) y[k] = 5 * std::exp(-(x[k] - 70) * (x[k] - 70) / (2 * 1.5 * 1.5));
    const Fields f = estimate(x, y, 1.0);
    EXPECT_EQ(f.amplitude, (V{5}));
    EXPECT_EQ(f.center, (V{70}));
    ASSERT_EQ(f.sigma.size(), 1u);
    EXPECT_NEAR(f.sigma[0], 1.5, 1e-12);
    // The options other than peak_width are kept but never read.
    const Fields g = estimate(x, y, 1.0, 123.0);
    EXPECT_EQ(g.sigma, f.sigma);
}

TEST(EstimatePeaks, SmallReferenceValuesAreReplacedAndCapped) {
    // Peak at index 1: lo = -1, so the reference is y[3], one degree away.
    const V x{60, 60.5, 61, 61.5, 62};
    const Fields tall = estimate(x, {0, 2, 1, 1e-9, 0}, 1.0);
    EXPECT_EQ(tall.sigma, (V{1.0 / std::sqrt(std::fabs(std::log(0.6 / 2) * -2.0))}));
    const Fields low = estimate(x, {0, 0.5, 0.3, 1e-9, 0}, 1.0);
    EXPECT_EQ(low.sigma, (V{1.0 / std::sqrt(std::fabs(std::log(0.5 * 0.8 / 0.5) * -2.0))}));
}

TEST(EstimatePeaks, AZeroWindowKeepsNaNWidthsAndTinyPeaksFallBack) {
    // peak_width below dx / 1.3: w = 0, the reference is the peak itself.
    const V x{60, 60.5, 61, 61.5, 62, 62.5};
    const Fields f = estimate(x, {0, 2, 0, 5e-9, 1e-9, 0}, 0.1);
    ASSERT_EQ(f.sigma.size(), 2u);
    EXPECT_TRUE(std::isnan(f.sigma[0]));  // 0 / 0 is stored as it is
    EXPECT_EQ(f.sigma[1], 1.6);           // 0.6 capped to the height: sigma 0
}

TEST(EstimatePeaks, AMaximumNotAboveZeroFailsWithoutHandingOut) {
    expect_refused({60, 61, 62, 63}, {-2, -0.5, -1, -3}, 1.0, ALG_ERR_FAILURE, "峰值小于零");
    // The second maximum fails after the first was filled in.
    expect_refused({60, 61, 62, 63, 64, 65}, {0, 1, 0, -2, -1, -3}, 1.0, ALG_ERR_FAILURE, "峰值小于零");
}

TEST(EstimatePeaks, RefusesHandlesTooShortForTheEstimate) {
    expect_refused({60, 61, 62}, {0, 1, 0}, 1.0, ALG_ERR_INVALID_ARGUMENT, "温度数据不能小于4个。");
    expect_refused({60, 61, 62, 63}, {0, 1, 0, 1, 0}, 1.0, ALG_ERR_INVALID_ARGUMENT, "数组过少无法操作。");
}

TEST(EstimatePeaks, RefusesAWidthWindowThatLeavesTheData) {
    const V x{60, 60.5, 61, 61.5, 62};
    const V y{0, 2, 1, 0.5, 0};
    // w = 3: lo <= 0 and hi = 4 is the last value: accepted.
    EXPECT_EQ(estimate(x, y, 1.5).center, (V{60.5}));
    // w = 5: hi = 6 is past the end.
    expect_refused(x, y, 2.0, ALG_ERR_INVALID_ARGUMENT, "end下标越界。");
    // A negative width turns the window round: lo = 3, hi = -1.
    expect_refused(x, y, -1.0, ALG_ERR_INVALID_ARGUMENT, "end下标越界。");
    // A step of zero gives no usable window at all.
    expect_refused({60, 60.5, 61, 61, 62}, y, 1.0, ALG_ERR_INVALID_ARGUMENT, "end下标越界。");
}

TEST(EstimatePeaks, PastTheHighEndOnlyTheLowSideIsCompared) {
    // Peak at index 3 of 5 with w = 2: lo = 1, hi = 5 is past the end, so the
    // reference is y[1] alone, 1 degree below.
    const V x{60, 60.5, 61, 61.5, 62};
    const Fields f = estimate(x, {0, 1, 2, 4, 3}, 1.0);
    EXPECT_EQ(f.sigma, (V{1.0 / std::sqrt(std::fabs(std::log(1.0 / 4) * -2.0))}));
}

}  // namespace
