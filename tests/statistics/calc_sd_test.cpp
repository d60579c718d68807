// Replicate statistics through the C interface.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "QuelmarAlg.h"
#include "gbk.h"

namespace {

using V = std::vector<double>;

const int32_t kCt = 1;
const int32_t kQuantity = 2;

// The summary handed out by a call that returns `code`; a failing call must
// hand out nothing.
V calc_sd(int32_t kind, const V& data, int code = ALG_OK) {
    double sentinel = 0;
    double* values = &sentinel;
    size_t count = 12345;
    EXPECT_EQ(alg_calc_sd(&kind, data.data(), data.size(), &values, &count), code) << get_last_error();
    if (values == &sentinel) {
        EXPECT_EQ(count, 12345u);
        return {};
    }
    EXPECT_EQ(code, ALG_OK) << "handed out on failure";
    V out(values, values + count);
    alg_darray_release(&values);
    return out;
}

TEST(CalcSd, WorkedCtExample) {
    // Target 20, 21, 22; one reference gene 15, 16.
    const V s = calc_sd(kCt, {3, 20, 21, 22, 1, 2, 15, 16});
    ASSERT_EQ(s.size(), 13u);
    EXPECT_EQ(s[0], 5.5);
    EXPECT_EQ(s[1], std::sqrt(1.5));
    EXPECT_NEAR(s[2], std::sqrt(0.25 + 1.0 / 3.0), 1e-15);
    // N, the target, then the combined reference, which is the one gene.
    const double sd = std::sqrt(0.5);
    EXPECT_EQ(V(s.begin() + 3, s.end()), (V{5, 21, 1, 1 / std::sqrt(3.0), 15.5, sd, 0.5, 15.5, sd, 0.5}));
}

TEST(CalcSd, WorkedQuantityExamples) {
    // log10 of the target: 2 and 3; the reference 10, 10 has no spread.
    const V s = calc_sd(kQuantity, {2, 100, 1000, 1, 2, 10, 10});
    ASSERT_EQ(s.size(), 13u);
    EXPECT_NEAR(s[0], std::pow(10.0, 1.5), 1e-13);
    EXPECT_NEAR(s[1], std::pow(10.0, std::sqrt(0.5)) - 1.0, 1e-14);
    EXPECT_NEAR(s[2], std::sqrt(10.0), 1e-14);
    EXPECT_EQ(s[3], 4.0);
    EXPECT_NEAR(s[4], std::pow(10.0, 2.5), 1e-12);
    EXPECT_NEAR(s[5], std::sqrt(0.5), 1e-15);
    EXPECT_NEAR(s[6], 0.5, 1e-15);
    EXPECT_EQ(V(s.begin() + 7, s.end()), (V{10, 0, 0, 10, 0, 0}));
    // Every value 10: ratio 1, factors 10^0 - 1 and 10^0.
    const V equal = calc_sd(kQuantity, {3, 10, 10, 10, 2, 1, 10, 2, 10, 10});
    ASSERT_EQ(equal.size(), 16u);
    EXPECT_EQ(V(equal.begin(), equal.begin() + 4), (V{1, 0, 1, 6}));
}

TEST(CalcSd, QuantitiesSquareWithTheMathsLibrarysPow) {
    // Here pow(sd, 2.0) and sd * sd differ in the last bit, and so does the
    // SD factor: 0x1.6c96fed19664cp+0 would mean the square was folded.
    const V s = calc_sd(kQuantity, {2, 80, 23, 1, 2, 62, 55});
    ASSERT_EQ(s.size(), 13u);
    EXPECT_EQ(s[1], 0x1.6c96fed19664ep+0);
}

TEST(CalcSd, ReferenceGenesCombineByMeanAndRootMeanSquare) {
    // Gene 0: 14, 16 (mean 15, sd sqrt 2, se 1); gene 1: 17 (17, 0, 0).
    const V s = calc_sd(kCt, {1, 20, 2, 2, 14, 16, 1, 17});
    ASSERT_EQ(s.size(), 16u);
    EXPECT_EQ(V(s.begin() + 7, s.begin() + 10), (V{16, 1, std::sqrt(0.5)}));
    // The single target value has sd and se 0.
    EXPECT_EQ(V(s.begin(), s.begin() + 7), (V{4, 1, std::sqrt(0.5), 4, 20, 0, 0}));
    EXPECT_EQ(V(s.begin() + 13, s.end()), (V{17, 0, 0}));
}

TEST(CalcSd, CountsTruncateAndUnreachedGenesStayEmpty) {
    EXPECT_EQ(calc_sd(kCt, {2.9, 20, 22, 1.5, 2.99, 15, 16}), calc_sd(kCt, {2, 20, 22, 1, 2, 15, 16}));
    // g = 2 but one block follows: gene 1 has NaN mean and se and sd 0, which
    // makes the combined reference mean and se NaN.
    const V s = calc_sd(kCt, {1, 20, 2, 2, 15, 16});
    ASSERT_EQ(s.size(), 16u);
    EXPECT_EQ(s[3], 3.0);
    for (size_t at : {0u, 7u, 9u, 13u, 15u}) EXPECT_TRUE(std::isnan(s[at])) << at;
    EXPECT_EQ(s[14], 0.0);
}

TEST(CalcSd, RefusesWhatItCannotReadAndHandsOutNothing) {
    calc_sd(kCt, {1, 20, 1, 1}, ALG_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(std::string(get_last_error()), quelmar_test::gbk("输入参数错误。"));
    // m = 0, g = 0, and a fraction of a gene, which truncates to none.
    for (const V& data : {V{0, 1, 2, 15, 16}, V{1, 20, 0, 15, 16}, V{1, 20, -0.5, 15, 16}}) {
        calc_sd(kCt, data, ALG_ERR_INVALID_ARGUMENT);
        EXPECT_EQ(std::string(get_last_error()), quelmar_test::gbk("数据格式有误，靶标基因或管家基因为空。"));
    }
    // Counts that would read outside the data.
    const V bad[] = {
        {4, 20, 21, 22, 23},       // m + 1 = n: g lies past the end
        {1, 20, 1, 4, 15, 16},     // a block runs past the end
        {1, 20, 2, 1, 15, 9, 16},  // so does the second
        {-1, 20, 1, 1, 15},  {1, 20, -1, 1, 15},  {1, 20, 1, -1, 15},  // negative counts
        {NAN, 20, 1, 1, 15}, {1, 20, NAN, 1, 15}, {1, 20, 1, NAN, 15}, {1, 20, 1, 1e300, 15},
        // More genes than values after g: each gene needs at least its count.
        {3, 20, 21, 22, 1}, {1, 20, 3, 0, 0}, {1, 20, 1e7, 1, 15}, {1, 20, INFINITY, 1, 15},
    };
    for (const V& data : bad) {
        calc_sd(kCt, data, ALG_ERR_INVALID_ARGUMENT);
        EXPECT_EQ(std::string(get_last_error()), quelmar_test::gbk("输入参数错误。"));
    }
}

}  // namespace
