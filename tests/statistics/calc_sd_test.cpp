// Replicate statistics through the C interface.
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

const int32_t kCt = 1;
const int32_t kQuantity = 2;
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// Runs alg_calc_sd and takes the handed-out array back.
std::vector<double> calc_sd(int32_t kind, const std::vector<double>& data) {
    double* values = nullptr;
    size_t count = 0;
    EXPECT_EQ(alg_calc_sd(&kind, data.data(), data.size(), &values, &count), ALG_OK) << get_last_error();
    std::vector<double> out(values, values + count);
    EXPECT_EQ(alg_darray_release(&values), ALG_OK);
    return out;
}

// Runs a call that must fail, and checks that nothing was handed out.
int failing_calc_sd(int32_t kind, const std::vector<double>& data) {
    double sentinel = 0;
    double* values = &sentinel;
    size_t count = 12345;
    const int code = alg_calc_sd(&kind, data.data(), data.size(), &values, &count);
    EXPECT_EQ(values, &sentinel);
    EXPECT_EQ(count, 12345u);
    return code;
}

TEST(CalcSd, CtValuesOfOneReferenceGene) {
    // Target 20, 21, 22; one reference gene 15, 16.
    const std::vector<double> s = calc_sd(kCt, {3, 20, 21, 22, 1, 2, 15, 16});
    ASSERT_EQ(s.size(), 13u);
    EXPECT_EQ(s[0], 5.5);
    EXPECT_NEAR(s[1], std::sqrt(1.5), 1e-15);
    EXPECT_NEAR(s[2], std::sqrt(0.25 + 1.0 / 3.0), 1e-15);
    EXPECT_EQ(s[3], 5.0);
    EXPECT_EQ(s[4], 21.0);
    EXPECT_EQ(s[5], 1.0);
    EXPECT_EQ(s[6], 1.0 / std::sqrt(3.0));
    for (size_t at : {7u, 10u}) {  // the combined reference is the one gene
        EXPECT_EQ(s[at], 15.5);
        EXPECT_NEAR(s[at + 1], std::sqrt(0.5), 1e-15);
        EXPECT_NEAR(s[at + 2], 0.5, 1e-15);
    }
}

TEST(CalcSd, QuantitiesUseLogarithmsAndRatios) {
    const std::vector<double> s = calc_sd(kQuantity, {2, 100, 1000, 1, 2, 10, 10});
    ASSERT_EQ(s.size(), 13u);
    EXPECT_NEAR(s[0], std::pow(10.0, 1.5), 1e-13);
    EXPECT_NEAR(s[1], std::pow(10.0, std::sqrt(0.5)) - 1.0, 1e-14);
    EXPECT_NEAR(s[2], std::sqrt(10.0), 1e-14);
    EXPECT_EQ(s[3], 4.0);
    EXPECT_NEAR(s[4], std::pow(10.0, 2.5), 1e-12);
    EXPECT_NEAR(s[5], std::sqrt(0.5), 1e-15);
    EXPECT_NEAR(s[6], 0.5, 1e-15);
    EXPECT_EQ(s[7], 10.0);
    EXPECT_EQ(s[8], 0.0);
    EXPECT_EQ(s[9], 0.0);
    EXPECT_EQ(s[10], 10.0);
    // The same numbers, worked out to the printed digits.
    EXPECT_NEAR(s[0], 31.622777, 1e-6);
    EXPECT_NEAR(s[1], 4.0945612, 1e-7);
    EXPECT_NEAR(s[2], 3.1622777, 1e-7);
}

TEST(CalcSd, EqualQuantitiesGiveUnitRatioAndFactor) {
    const std::vector<double> s = calc_sd(kQuantity, {3, 10, 10, 10, 2, 1, 10, 2, 10, 10});
    ASSERT_EQ(s.size(), 16u);
    EXPECT_EQ(s[0], 1.0);
    EXPECT_EQ(s[1], 0.0);
    EXPECT_EQ(s[2], 1.0);
    EXPECT_EQ(s[3], 6.0);
    for (size_t at = 4; at < 16; at += 3) {
        EXPECT_EQ(s[at], 10.0);
        EXPECT_EQ(s[at + 1], 0.0);
        EXPECT_EQ(s[at + 2], 0.0);
    }
}

TEST(CalcSd, ReferenceGenesCombineByMeanAndRootMeanSquare) {
    // Gene 0: 14, 16 (mean 15, sd sqrt 2, se 1); gene 1: 17 (17, 0, 0).
    const std::vector<double> s = calc_sd(kCt, {1, 20, 2, 2, 14, 16, 1, 17});
    ASSERT_EQ(s.size(), 16u);
    EXPECT_EQ(s[7], 16.0);
    EXPECT_EQ(s[8], 1.0);                  // sqrt((2 + 0) / 2)
    EXPECT_EQ(s[9], std::sqrt(0.5));       // sqrt((1 + 0) / 2)
    EXPECT_EQ(s[0], 4.0);
    EXPECT_EQ(s[1], 1.0);                  // the single target value has sd 0
    EXPECT_EQ(s[2], std::sqrt(0.5));
    EXPECT_EQ(s[3], 4.0);
    EXPECT_EQ(s[13], 17.0);
}

TEST(CalcSd, GenesBeyondTheDataStayEmpty) {
    // g = 2 but only one block follows: gene 1 has no values, so its mean
    // and se, and the combined reference mean and se, are NaN.
    const std::vector<double> s = calc_sd(kCt, {1, 20, 2, 2, 15, 16});
    ASSERT_EQ(s.size(), 16u);
    EXPECT_EQ(s[3], 3.0);
    EXPECT_TRUE(std::isnan(s[0]));
    EXPECT_TRUE(std::isnan(s[7]));
    EXPECT_TRUE(std::isnan(s[9]));
    EXPECT_TRUE(std::isnan(s[13]));
    EXPECT_EQ(s[14], 0.0);
    EXPECT_TRUE(std::isnan(s[15]));
    // g itself as the last value: no block at all.
    EXPECT_EQ(calc_sd(kCt, {3, 20, 21, 22, 1}).size(), 13u);
}

TEST(CalcSd, NonIntegralCountsAreTruncated) {
    EXPECT_EQ(calc_sd(kCt, {2.9, 20, 22, 1.5, 2.99, 15, 16}), calc_sd(kCt, {2, 20, 22, 1, 2, 15, 16}));
}

TEST(CalcSd, RefusesTooFewValuesAndEmptyGroups) {
    EXPECT_EQ(failing_calc_sd(kCt, {1, 20, 1, 1}), ALG_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(std::string(get_last_error()), gbk("输入参数错误。"));
    const std::string empty = gbk("数据格式有误，靶标基因或管家基因为空。");
    EXPECT_EQ(failing_calc_sd(kCt, {0, 1, 2, 15, 16}), ALG_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(std::string(get_last_error()), empty);
    EXPECT_EQ(failing_calc_sd(kCt, {1, 20, 0, 15, 16}), ALG_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(std::string(get_last_error()), empty);
    // A fraction of a gene truncates to none.
    EXPECT_EQ(failing_calc_sd(kCt, {1, 20, -0.5, 15, 16}), ALG_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(std::string(get_last_error()), empty);
}

TEST(CalcSd, RefusesCountsThatWouldReadOutsideTheData) {
    const std::vector<std::vector<double>> bad = {
        {4, 20, 21, 22, 23},             // m + 1 = n: g lies past the end
        {9, 20, 21, 1, 1, 15},           // m far past the end
        {1, 20, 1, 4, 15, 16},           // the block runs past the end
        {1, 20, 2, 1, 15, 9, 16},        // the second block runs past the end
        {-1, 20, 1, 1, 15},              // negative counts
        {1, 20, -1, 1, 15},
        {1, 20, 1, -1, 15},
        {kNaN, 20, 1, 1, 15},            // counts that are not numbers
        {1, 20, kNaN, 1, 15},
        {1, 20, 1, kNaN, 15},
        {kInf, 20, 1, 1, 15},            // counts beyond any size
        {1, 20, 1, 1e300, 15},
        {1, 20, 1, 18446744073709551616.0, 15},
    };
    for (const std::vector<double>& data : bad) {
        EXPECT_EQ(failing_calc_sd(kCt, data), ALG_ERR_INVALID_ARGUMENT) << data[0] << " " << data[2];
        EXPECT_EQ(std::string(get_last_error()), gbk("输入参数错误。"));
    }
}

TEST(CalcSd, AHugeGeneCountRunsOutOfStorage) {
    EXPECT_EQ(failing_calc_sd(kCt, {1, 20, kInf, 1, 15}), ALG_ERR_FAILURE);
    EXPECT_STREQ(get_last_error(), "bad array new length");
    EXPECT_EQ(failing_calc_sd(kCt, {1, 20, 0x1p59, 1, 15}), ALG_ERR_FAILURE);
    EXPECT_STREQ(get_last_error(), "bad allocation");
}

}  // namespace
