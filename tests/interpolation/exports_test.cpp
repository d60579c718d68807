// alg_cubic_interpolation and alg_interpolation_x through the C interface.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "QuelmarAlg.h"
#include "gbk.h"

namespace {

TEST(CubicInterpolation, EvaluatesExtrapolatesAndWritesOnlyOnSuccess) {
    const double x[] = {0, 1, 2};
    const double y[] = {0, 1, 0};
    const double xq[] = {-1, 0.5, 1, 1.5, 3};
    double yq[6] = {9, 9, 9, 9, 9, 9};
    EXPECT_EQ(alg_cubic_interpolation(x, y, 2, xq, yq, 5), ALG_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(std::string(get_last_error()), quelmar_test::gbk("数组长度应该大于等于3。"));
    EXPECT_EQ(alg_cubic_interpolation(x, y, 3, nullptr, yq, 0), ALG_OK);
    EXPECT_EQ(yq[0], 9.0);
    ASSERT_EQ(alg_cubic_interpolation(x, y, 3, xq, yq, 5), ALG_OK);
    EXPECT_EQ(std::vector<double>(yq, yq + 6), (std::vector<double>{-1, 0.6875, 1, 0.6875, -1, 9}));
}

// Into exactly `room` doubles: the sanitizer build sees any write past them.
std::vector<double> grid(const std::vector<double>& x, size_t factor, size_t room) {
    std::vector<double> out(room, -1.0);
    EXPECT_EQ(alg_interpolation_x(x.data(), x.size(), factor, out.data()), ALG_OK);
    return out;
}

TEST(InterpolationX, RefinesFromFirstToLastAbscissaAndRefusesWhatItCannot) {
    EXPECT_EQ(grid({20, 25, 30}, 2, 5), (std::vector<double>{20, 22.5, 25, 27.5, 30}));
    EXPECT_EQ(grid({30, 25, 20}, 2, 5), (std::vector<double>{30, 27.5, 25, 22.5, 20}));
    EXPECT_EQ(grid({0, 100, 1}, 1, 3), (std::vector<double>{0, 0.5, 1}));  // only the ends count
    EXPECT_EQ(grid({4, 5, 6, 7}, 0, 2), (std::vector<double>{7, -1}));     // factor 0: the last one
    // Steps of 0.1 summed one at a time; the sum's 0.9999999999999999 is set to 1.
    const std::vector<double> g = grid({0, 0.5, 1}, 5, 11);
    EXPECT_EQ(g[3], 0.30000000000000004);
    EXPECT_EQ(g[9], 0.8999999999999999);
    EXPECT_EQ(g[10], 1.0);

    const double x[] = {0, 1, 2};
    double out[1] = {9};
    EXPECT_EQ(alg_interpolation_x(x, 2, 2, out), ALG_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(std::string(get_last_error()), quelmar_test::gbk("数组过少无法操作。"));
    // (n - 1) * factor overflows, or its + 1 does: no wrapped-around grid.
    for (size_t factor : {SIZE_MAX, SIZE_MAX / 2}) {
        EXPECT_EQ(alg_interpolation_x(x, 3, factor, out), ALG_ERR_FAILURE);
        EXPECT_STREQ(get_last_error(), "bad array new length");
    }
    EXPECT_EQ(out[0], 9.0);
}

}  // namespace
