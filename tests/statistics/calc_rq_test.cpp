// Relative quantification through the C interface.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "QuelmarAlg.h"
#include "gbk.h"

namespace {

using V = std::vector<double>;

const double kUnset = -777.0;  // what the caller left in the result

// The seven result values after a call that returns `code`.
V calc_rq(RqOptions options, const V& summary, double calibrator, int code = ALG_OK) {
    V r(7, kUnset);
    EXPECT_EQ(alg_calc_rq(&options.dataKind, summary.data(), summary.size(), calibrator, r.data()), code)
        << get_last_error();
    return r;
}

const V kCtSummary{5.5, 1.224744871391589, 0.7637626158259734, 5};  // calibrator 3.5

TEST(CalcRq, WorkedCtExamples) {
    const V ci = calc_rq({1, 0, 1, 0, 0}, kCtSummary, 3.5);
    EXPECT_EQ(V(ci.begin(), ci.begin() + 4), (V{5.5, 1.224744871391589, 0.7637626158259734, 0.25}));
    EXPECT_EQ(ci[6], 2.0);
    EXPECT_NEAR(ci[4], 0.0463710, 1e-7);  // t = 3.182446305, three degrees of freedom
    EXPECT_NEAR(ci[5], 1.3478253, 1e-7);
    // One SD either way: the count is not examined, not even a NaN one.
    const V sd = calc_rq({1, 0, 2, 99, 1}, {5.5, 1.224744871391589, 0.7637626158259734, NAN}, 3.5);
    EXPECT_NEAR(sd[4], 0.1069683, 1e-7);
    EXPECT_NEAR(sd[5], 0.5842853, 1e-7);
}

TEST(CalcRq, ADeltaDeltaCtOfOneHalvesTheQuantity) {
    // Sample dCt 3, calibrator dCt 2; one SD of 0.5 cycles either way, in the
    // exponent since dataKind2 is 1.
    const V rq = calc_rq({0, 1, 2, 0, 1}, {3.0, 0.5, 0.25, 6}, 2.0);
    EXPECT_EQ(rq[6], 1.0);
    EXPECT_EQ(rq[3], 0.5);
    EXPECT_DOUBLE_EQ(rq[4], std::sqrt(0.5) / 2.0);  // 2^-1.5
    EXPECT_DOUBLE_EQ(rq[5], std::sqrt(0.5));        // 2^-0.5
}

TEST(CalcRq, SwappingSampleAndCalibratorInvertsTheQuantityAndItsBounds) {
    const RqOptions settings[] = {{1, 0, 1, 2, 0}, {0, 1, 2, 0, 2}, {2, 2, 1, 3, 0}, {2, 2, 2, 0, 3}};
    for (const RqOptions& o : settings) {
        const V forward = calc_rq(o, {1.75, 0.2, 1.1, 9}, 3.25);
        const V back = calc_rq(o, {3.25, 0.2, 1.1, 9}, 1.75);
        EXPECT_NEAR(forward[3] * back[3], 1.0, 1e-15);
        EXPECT_NEAR(forward[4] * back[5], 1.0, 1e-15);
        EXPECT_NEAR(forward[5] * back[4], 1.0, 1e-15);
    }
}

TEST(CalcRq, QuantitiesAreRatiosWithFactorBounds) {
    const V ci = calc_rq({2, 2, 1, 0, 0}, {2.0, 0.1, 1.05, 6}, 4.0);
    EXPECT_EQ(ci[3], 0.5);
    EXPECT_EQ(ci[6], kUnset);  // a ratio has no ddCt
    EXPECT_NEAR(ci[4], 0.4366556, 1e-7);  // f = 1.05^t, t = 2.776445105
    EXPECT_NEAR(ci[5], 0.5725335, 1e-7);
    const V sd = calc_rq({2, 2, 2, 0, 2}, {2.0, 0.1, 1.05, 6}, 4.0);  // f = 1.1^2
    EXPECT_NEAR(sd[4], 0.5 / 1.21, 1e-15);
    EXPECT_NEAR(sd[5], 0.605, 1e-15);
    // A factor below one (an se of 0.5) swaps the products: lower stays below upper.
    const V below = calc_rq({2, 2, 1, 0, 0}, {3.0, 0.0, 0.5, 5}, 1.0);
    EXPECT_EQ(below[4], 3.0 * std::pow(0.5, 3.182446305));
    EXPECT_EQ(below[5], 3.0 / std::pow(0.5, 3.182446305));
}

TEST(CalcRq, TheCountPicksTheTableRowFromFourToNinetySeven) {
    // RQ 1 and an se factor of 2: the upper bound is 2^t for the published t.
    const auto upper = [](double n, int32_t level) { return calc_rq({2, 2, 1, level, 0}, {1, 0, 2, n}, 1)[5]; };
    EXPECT_EQ(upper(4, 0), std::pow(2.0, 4.30265273));
    EXPECT_EQ(upper(97, 5), std::pow(2.0, 3.395903569));
    EXPECT_EQ(upper(97.9, 0), std::pow(2.0, 1.985250956));  // 97.9 truncates to 97
}

TEST(CalcRq, TooFewSummaryValuesWriteNothing) {
    EXPECT_EQ(calc_rq({1, 0, 1, 0, 0}, {5.5, 1.2, 0.7}, 3.5, ALG_ERR_INVALID_ARGUMENT), V(7, kUnset));
    EXPECT_EQ(std::string(get_last_error()), quelmar_test::gbk("输入参数错误。"));
}

TEST(CalcRq, BoundsFailuresKeepWhatWasAlreadyWritten) {
    const V written{5.5, 1.224744871391589, 0.7637626158259734, 0.25, kUnset, kUnset, 2.0};
    const std::string range = quelmar_test::gbk("参数错误。");
    V summary = kCtSummary;
    for (double n : {3.0, 98.0, -1.0, 1e300, double(NAN)}) {
        summary[3] = n;
        EXPECT_EQ(calc_rq({1, 0, 1, 0, 0}, summary, 3.5, ALG_ERR_OUT_OF_RANGE), written) << n;
        EXPECT_EQ(std::string(get_last_error()), range);
    }
    for (int32_t level : {-1, 6}) {
        EXPECT_EQ(calc_rq({1, 0, 1, level, 0}, kCtSummary, 3.5, ALG_ERR_OUT_OF_RANGE), written) << level;
        EXPECT_EQ(std::string(get_last_error()), range);
    }
    // The error-bar type is tested before an out-of-range count and level.
    summary[3] = 3.0;
    for (int32_t type : {0, 3}) {
        EXPECT_EQ(calc_rq({1, 0, type, 9, 0}, summary, 3.5, ALG_ERR_INVALID_ARGUMENT), written) << type;
        EXPECT_EQ(std::string(get_last_error()), quelmar_test::gbk("误差条类型参数不正确。"));
    }
}

}  // namespace
