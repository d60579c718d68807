// Peak detection and the initial coefficients, through the public interface.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "QuelmarAlg.h"
#include "gbk.h"
#include "peak_test_support.h"

namespace {

using namespace peaks_test;
using quelmar_test::gbk;

TEST(RawPeaks, OneFixedWidthPeakPerMaximumWhateverItsHeight) {
    const V x{60, 61, 62, 63, 64, 65};
    const V y{-5, -1, -3, -2, -0.5, -4};
    Set set;
    ASSERT_EQ(alg_mgf_local_max_value_id_origin(x.data(), x.size(), y.data(), y.size(), &set.p), ALG_OK);
    const Fields f = read(set.p);
    EXPECT_EQ(f.amplitude, (V{-1, -0.5}));
    EXPECT_EQ(f.center, (V{61, 64}));
    EXPECT_EQ(f.sigma, (V{1.7, 1.7}));
    Set none;  // one value: no interior, no peak
    ASSERT_EQ(alg_mgf_local_max_value_id_origin(x.data(), 1, y.data(), 1, &none.p), ALG_OK);
    EXPECT_TRUE(read(none.p).center.empty());
    // x shorter than y is refused.
    GaussCoeff* out = kUntouchedSet;
    EXPECT_EQ(alg_mgf_local_max_value_id_origin(x.data(), 3, y.data(), 4, &out), ALG_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(std::string(get_last_error()), gbk("数组过少无法操作。"));
    EXPECT_EQ(out, kUntouchedSet);
}

// Runs the estimating detector and reads the set it hands out.
Fields estimate(const V& x, const V& y, double peak_width, double other_options = 0.0) {
    const Handle handle(x, y, peak_width, other_options);
    Set set;
    EXPECT_EQ(alg_mgf_local_max_value_id(handle.p, &set.p), ALG_OK) << get_last_error();
    return read(set.p);
}

V widths(const V& x, const V& y, double peak_width) { return estimate(x, y, peak_width).sigma; }

// sigma from a reference value r at distance d from a peak of height a.
double sigma(double d, double r, double a) { return d / std::sqrt(std::fabs(std::log(r / a) * -2.0)); }

TEST(EstimatePeaks, RecoversTheWidthOfAnExactGaussian) {
    // 0.5 degree steps and peak_width 1.0: w = 2 samples (2.6 truncated), so
    // the reference is the mean height 1 degree either side of the maximum.
    const V x = grid(60.0, 0.5, 41);
    V y(x.size());
    for (size_t k = 0; k < x.size(); ++k) y[k] = 5 * std::exp(-(x[k] - 70) * (x[k] - 70) / (2 * 1.5 * 1.5));
    const Fields f = estimate(x, y, 1.0);
    EXPECT_EQ(f.amplitude, (V{5}));
    EXPECT_EQ(f.center, (V{70}));
    ASSERT_EQ(f.sigma.size(), 1u);
    EXPECT_NEAR(f.sigma[0], 1.5, 1e-12);
    EXPECT_EQ(estimate(x, y, 1.0, 123.0).sigma, f.sigma);  // the other options are never read
}

TEST(EstimatePeaks, ReferenceValuesAtTheEdgesOfTheRules) {
    const V x{60, 60.5, 61, 61.5, 62};
    // Peak at index 1, w = 2: lo = -1, so the reference is y[3], one degree
    // away. 1e-9 is replaced by 0.6, which a height of 0.5 caps to 0.4.
    EXPECT_EQ(widths(x, {0, 2, 1, 1e-9, 0}, 1.0), (V{sigma(1, 0.6, 2)}));
    EXPECT_EQ(widths(x, {0, 0.5, 0.3, 1e-9, 0}, 1.0), (V{sigma(1, 0.5 * 0.8, 0.5)}));
    // Peak at index 2: lo = 0 still takes the high side, y[4] alone.
    EXPECT_EQ(widths(x, {0, 1, 2, 1, 0.5}, 1.0), (V{sigma(1, 0.5, 2)}));
    // Peak at index 3: hi = 5 is past the end, so y[1] alone is compared.
    EXPECT_EQ(widths(x, {0, 1, 2, 4, 3}, 1.0), (V{sigma(1, 1, 4)}));
    // peak_width below dx / 1.3: w = 0 and the reference is the peak itself,
    // so 0 / 0 is stored as it is; a peak below 1e-8 gets sigma 0 and falls back.
    const V s = widths({60, 60.5, 61, 61.5, 62, 62.5}, {0, 2, 0, 5e-9, 1e-9, 0}, 0.1);
    ASSERT_EQ(s.size(), 2u);
    EXPECT_TRUE(std::isnan(s[0]));
    EXPECT_EQ(s[1], 1.6);
}

// The estimating detector fails with the given code and message and hands
// out nothing.
void expect_refused(const V& x, const V& y, double peak_width, int code, const char* utf8_message) {
    const Handle handle(x, y, peak_width);
    GaussCoeff* set = kUntouchedSet;
    EXPECT_EQ(alg_mgf_local_max_value_id(handle.p, &set), code);
    EXPECT_EQ(std::string(get_last_error()), gbk(utf8_message));
    EXPECT_EQ(set, kUntouchedSet);
}

TEST(EstimatePeaks, RefusesWhatItCannotEstimate) {
    expect_refused({60, 61, 62, 63}, {-2, -0.5, -1, -3}, 1.0, ALG_ERR_FAILURE, "峰值小于零");
    // The second maximum fails after the first was filled in.
    expect_refused({60, 61, 62, 63, 64, 65}, {0, 1, 0, -2, -1, -3}, 1.0, ALG_ERR_FAILURE, "峰值小于零");
    expect_refused({60, 61, 62}, {0, 1, 0}, 1.0, ALG_ERR_INVALID_ARGUMENT, "温度数据不能小于4个。");
    expect_refused({60, 61, 62, 63}, {0, 1, 0, 1, 0}, 1.0, ALG_ERR_INVALID_ARGUMENT, "数组过少无法操作。");
    // Width windows that leave the data: w = 3 still ends on the last value,
    // w = 5 does not; a step of zero gives no usable window at all.
    const V x{60, 60.5, 61, 61.5, 62};
    const V y{0, 2, 1, 0.5, 0};
    EXPECT_EQ(widths(x, y, 1.5).size(), 1u);
    expect_refused(x, y, 2.0, ALG_ERR_INVALID_ARGUMENT, "end下标越界。");
    // A negative width turns the window round; here it still lies inside the
    // data (lo = 8, hi = 4) and would give a negative width. NaN says nothing.
    const V x9{60, 60.5, 61, 61.5, 62, 62.5, 63, 63.5, 64};
    const V y9{0, 0, 0, 0, 1, 2, 3, 2, 1};
    for (const double width : {-1.0, -1e-300, double(NAN), -double(INFINITY)})
        expect_refused(x9, y9, width, ALG_ERR_INVALID_ARGUMENT, "输入参数错误。");
    EXPECT_EQ(widths(x9, y9, -0.0).size(), 1u);  // negative zero is a zero width
    expect_refused({60, 60.5, 61, 61, 62}, y, 1.0, ALG_ERR_INVALID_ARGUMENT, "end下标越界。");
}

}  // namespace
