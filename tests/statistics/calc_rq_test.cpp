// Relative quantification through the C interface.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "QuelmarAlg.h"
#include "gbk.h"

namespace {

using quelmar_test::gbk;

const double kUnset = -777.0;  // what the caller left in the result

struct Rq {
    int code;
    double r[7];
};

Rq calc_rq(RqOptions options, const std::vector<double>& summary, double calibrator) {
    Rq out{0, {kUnset, kUnset, kUnset, kUnset, kUnset, kUnset, kUnset}};
    out.code = alg_calc_rq(&options.dataKind, summary.data(), summary.size(), calibrator, out.r);
    return out;
}

const RqOptions kCtConfidence95{1, 0, 1, 0, 0};
const std::vector<double> kCtSummary{5.5, 1.224744871391589, 0.7637626158259734, 5};

TEST(CalcRq, CtValuesWithAConfidenceInterval) {
    const Rq rq = calc_rq(kCtConfidence95, kCtSummary, 3.5);
    ASSERT_EQ(rq.code, ALG_OK);
    EXPECT_STREQ(get_last_error(), "");
    EXPECT_EQ(rq.r[0], 5.5);
    EXPECT_EQ(rq.r[1], 1.224744871391589);
    EXPECT_EQ(rq.r[2], 0.7637626158259734);
    EXPECT_EQ(rq.r[6], 2.0);
    EXPECT_EQ(rq.r[3], 0.25);
    // t = 3.182446305 for three degrees of freedom.
    EXPECT_NEAR(rq.r[4], 0.0463710, 1e-7);
    EXPECT_NEAR(rq.r[5], 1.3478253, 1e-7);
    const double e = 3.182446305 * 0.7637626158259734;
    EXPECT_NEAR(rq.r[4], std::pow(2.0, -2.0 - e), 1e-9);
    EXPECT_NEAR(rq.r[5], std::pow(2.0, e - 2.0), 1e-9);
}

TEST(CalcRq, CtValuesWithOneStandardDeviationIgnoreTheCount) {
    for (double n : {5.0, 1.0, 1000.0, std::nan("")}) {
        std::vector<double> summary = kCtSummary;
        summary[3] = n;
        const Rq rq = calc_rq(RqOptions{1, 0, 2, 99, 1}, summary, 3.5);
        ASSERT_EQ(rq.code, ALG_OK) << n;
        EXPECT_NEAR(rq.r[4], 0.1069683, 1e-7);
        EXPECT_NEAR(rq.r[5], 0.5842853, 1e-7);
    }
}

TEST(CalcRq, ADeltaDeltaCtOfOneHalvesTheQuantity) {
    // Sample dCt 3, calibrator dCt 2; one SD of 0.5 cycles either way.
    const Rq rq = calc_rq(RqOptions{1, 1, 2, 0, 1}, {3.0, 0.5, 0.25, 6}, 2.0);
    ASSERT_EQ(rq.code, ALG_OK);
    EXPECT_EQ(rq.r[6], 1.0);
    EXPECT_EQ(rq.r[3], 0.5);
    EXPECT_DOUBLE_EQ(rq.r[4], std::sqrt(0.5) / 2.0);  // 2^-1.5
    EXPECT_DOUBLE_EQ(rq.r[5], std::sqrt(0.5));        // 2^-0.5
}

TEST(CalcRq, SwappingSampleAndCalibratorInvertsTheQuantityAndItsBounds) {
    const RqOptions settings[] = {{1, 0, 1, 2, 0}, {0, 1, 2, 0, 2}, {2, 2, 1, 3, 0}, {2, 2, 2, 0, 3}};
    for (const RqOptions& o : settings) {
        const Rq forward = calc_rq(o, {1.75, 0.2, 1.1, 9}, 3.25);
        const Rq back = calc_rq(o, {3.25, 0.2, 1.1, 9}, 1.75);
        ASSERT_EQ(forward.code, ALG_OK);
        ASSERT_EQ(back.code, ALG_OK);
        EXPECT_NEAR(forward.r[3] * back.r[3], 1.0, 1e-15);
        EXPECT_NEAR(forward.r[4] * back.r[5], 1.0, 1e-15);
        EXPECT_NEAR(forward.r[5] * back.r[4], 1.0, 1e-15);
        EXPECT_LT(forward.r[4], forward.r[3]);
        EXPECT_GT(forward.r[5], forward.r[3]);
    }
}

TEST(CalcRq, QuantitiesAreRatiosWithFactorBounds) {
    const Rq ci = calc_rq(RqOptions{2, 2, 1, 0, 0}, {2.0, 0.1, 1.05, 6}, 4.0);
    ASSERT_EQ(ci.code, ALG_OK);
    EXPECT_EQ(ci.r[3], 0.5);
    EXPECT_EQ(ci.r[6], kUnset);  // a ratio has no ddCt
    // t = 2.776445105 for four degrees of freedom: f = 1.05^t.
    EXPECT_NEAR(ci.r[4], 0.4366556, 1e-7);
    EXPECT_NEAR(ci.r[5], 0.5725335, 1e-7);
    const Rq sd = calc_rq(RqOptions{2, 2, 2, 0, 2}, {2.0, 0.1, 1.05, 6}, 4.0);
    ASSERT_EQ(sd.code, ALG_OK);
    EXPECT_EQ(sd.r[6], kUnset);
    EXPECT_NEAR(sd.r[4], 0.5 / 1.21, 1e-15);
    EXPECT_NEAR(sd.r[5], 0.605, 1e-15);
}

TEST(CalcRq, TooFewSummaryValuesWriteNothing) {
    const Rq rq = calc_rq(kCtConfidence95, {5.5, 1.2, 0.7}, 3.5);
    EXPECT_EQ(rq.code, ALG_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(std::string(get_last_error()), gbk("输入参数错误。"));
    for (double v : rq.r) EXPECT_EQ(v, kUnset);
}

// Range failures come after the value, SD, SE, RQ and ddCt are written.
void expect_partly_written(const Rq& rq) {
    EXPECT_EQ(rq.r[0], 5.5);
    EXPECT_EQ(rq.r[3], 0.25);
    EXPECT_EQ(rq.r[6], 2.0);
    EXPECT_EQ(rq.r[4], kUnset);
    EXPECT_EQ(rq.r[5], kUnset);
}

TEST(CalcRq, ACountOutsideTheTableIsOutOfRange) {
    const double counts[] = {3, 98, 0, -1, -1e300, 1e300, std::numeric_limits<double>::infinity(), std::nan("")};
    for (double n : counts) {
        std::vector<double> summary = kCtSummary;
        summary[3] = n;
        const Rq rq = calc_rq(kCtConfidence95, summary, 3.5);
        EXPECT_EQ(rq.code, ALG_ERR_OUT_OF_RANGE) << n;
        EXPECT_EQ(std::string(get_last_error()), gbk("参数错误。"));
        expect_partly_written(rq);
    }
    // Both ends of the table are in range; 97.9 truncates to 97.
    for (double n : {4.0, 97.0, 97.9}) {
        std::vector<double> summary = kCtSummary;
        summary[3] = n;
        EXPECT_EQ(calc_rq(kCtConfidence95, summary, 3.5).code, ALG_OK) << n;
    }
}

TEST(CalcRq, AConfidenceLevelOutsideTheTableIsOutOfRange) {
    for (int32_t level : {-1, 6, INT32_MIN, INT32_MAX}) {
        const Rq rq = calc_rq(RqOptions{1, 0, 1, level, 0}, kCtSummary, 3.5);
        EXPECT_EQ(rq.code, ALG_ERR_OUT_OF_RANGE) << level;
        EXPECT_EQ(std::string(get_last_error()), gbk("参数错误。"));
        expect_partly_written(rq);
    }
}

TEST(CalcRq, AnUnknownErrorBarTypeIsReportedBeforeTheCount) {
    for (int32_t type : {0, 3, -1}) {
        for (double n : {5.0, 3.0, std::nan("")}) {
            std::vector<double> summary = kCtSummary;
            summary[3] = n;
            const Rq rq = calc_rq(RqOptions{1, 0, type, 9, 0}, summary, 3.5);
            EXPECT_EQ(rq.code, ALG_ERR_INVALID_ARGUMENT) << type << " " << n;
            EXPECT_EQ(std::string(get_last_error()), gbk("误差条类型参数不正确。"));
            expect_partly_written(rq);
        }
    }
}

}  // namespace
