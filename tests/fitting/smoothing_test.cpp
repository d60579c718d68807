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

TEST(SuperSmooth, WindowsAreTruncatedAtTheEndsAndReadTheInput) {
    // Averaging already averaged values would give 2.1666... at index 1.
    EXPECT_EQ(smooth({1, 2, 3, 4, 5}, 1), (std::vector<double>{1.5, 2, 3, 4, 4.5}));
    EXPECT_EQ(smooth({1, 2, 3, 4, 5}, 10), (std::vector<double>{3, 3, 3, 3, 3}));
    // The widest half-window covers the curve at once, without walking it.
    EXPECT_EQ(smooth({1, 2, 3, 4, 5}, 2147483647), (std::vector<double>{3, 3, 3, 3, 3}));
    const std::vector<double> input{0.1, -2.5, 1e300, 7};
    EXPECT_EQ(smooth(input, 0), input);
    for (double v : smooth(input, -1)) EXPECT_TRUE(std::isnan(v));  // empty windows: 0/0
    EXPECT_EQ(alg_super_smooth(nullptr, 0, 3), ALG_OK);
}

TEST(Increasing, WritesRunningSumsAndRefusesZeroLength) {
    double out[11] = {42};
    EXPECT_EQ(alg_increasing(1.0, 1.0, 0, out), ALG_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(std::string(get_last_error()), quelmar_test::gbk("length 长度必需大于0"));
    EXPECT_EQ(out[0], 42.0);
    ASSERT_EQ(alg_increasing(0.0, 0.5, 4, out), ALG_OK);
    EXPECT_EQ(std::vector<double>(out, out + 4), (std::vector<double>{0, 0.5, 1, 1.5}));
    ASSERT_EQ(alg_increasing(1.0, 0.1, 11, out), ALG_OK);
    EXPECT_EQ(out[10], 2.000000000000001);  // 1 + 10 * 0.1 would be 2
}

}  // namespace
