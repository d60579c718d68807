// The moving-average smooth and the arithmetic sequence, through the C
// interface.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "QuelmarAlg.h"
#include "gbk.h"

namespace {

std::vector<double> smooth(std::vector<double> data, int half_window) {
    EXPECT_EQ(alg_super_smooth(data.data(), data.size(), half_window), ALG_OK);
    return data;
}

TEST(SuperSmooth, TruncatesTheWindowAtTheEnds) {
    EXPECT_EQ(smooth({1, 2, 3, 4, 5}, 1), (std::vector<double>{1.5, 2, 3, 4, 4.5}));
}

TEST(SuperSmooth, WindowWiderThanTheCurveGivesTheMean) {
    EXPECT_EQ(smooth({1, 2, 3, 4, 5}, 10), (std::vector<double>{3, 3, 3, 3, 3}));
    EXPECT_EQ(smooth({1, 2, 3, 4, 5}, 4), (std::vector<double>{3, 3, 3, 3, 3}));
}

TEST(SuperSmooth, ZeroWindowKeepsAndNegativeWindowEmpties) {
    const std::vector<double> input{0.1, -2.5, 1e300, 7};
    EXPECT_EQ(smooth(input, 0), input);
    for (double v : smooth(input, -1)) EXPECT_TRUE(std::isnan(v));
}

TEST(SuperSmooth, ReadsOnlyTheOriginalValues) {
    // Each average is over the input, not over already averaged values:
    // (0 + 0 + 3) / 3 = 1 at index 1 and (0 + 3 + 0) / 3 = 1 at index 2.
    EXPECT_EQ(smooth({0, 0, 3, 0}, 1), (std::vector<double>{0, 1, 1, 1.5}));
}

TEST(SuperSmooth, EmptyInputIsFine) {
    EXPECT_EQ(alg_super_smooth(nullptr, 0, 3), ALG_OK);
}

TEST(Increasing, WritesRunningSums) {
    double out[11];
    ASSERT_EQ(alg_increasing(0.0, 0.5, 4, out), ALG_OK);
    EXPECT_EQ(out[0], 0.0);
    EXPECT_EQ(out[1], 0.5);
    EXPECT_EQ(out[3], 1.5);
    ASSERT_EQ(alg_increasing(1.0, 0.1, 11, out), ALG_OK);
    EXPECT_EQ(out[10], 2.000000000000001);
}

TEST(Increasing, RefusesZeroLength) {
    double out[1] = {42};
    EXPECT_EQ(alg_increasing(1.0, 1.0, 0, out), ALG_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(std::string(get_last_error()), quelmar_test::gbk("length 长度必需大于0"));
    EXPECT_EQ(out[0], 42.0);
}

}  // namespace
