// alg_cubic_interpolation and alg_interpolation_x through the C interface.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "QuelmarAlg.h"
#include "gbk.h"

namespace {

using quelmar_test::gbk;

TEST(CubicInterpolation, EvaluatesAndExtrapolates) {
    const double x[] = {0, 1, 2};
    const double y[] = {0, 1, 0};
    const double xq[] = {-1, 0.5, 1, 1.5, 3};
    double yq[6] = {9, 9, 9, 9, 9, 9};
    ASSERT_EQ(alg_cubic_interpolation(x, y, 3, xq, yq, 5), ALG_OK);
    EXPECT_EQ(std::vector<double>(yq, yq + 6), (std::vector<double>{-1, 0.6875, 1, 0.6875, -1, 9}));
    EXPECT_STREQ(get_last_error(), "");
}

TEST(CubicInterpolation, NoPointsWritesNothing) {
    const double x[] = {0, 1, 2};
    double yq[1] = {9};
    EXPECT_EQ(alg_cubic_interpolation(x, x, 3, nullptr, yq, 0), ALG_OK);
    EXPECT_EQ(yq[0], 9.0);
}

TEST(CubicInterpolation, RefusesTwoKnotsAndLeavesTheOutputAlone) {
    const double x[] = {0, 1};
    const double xq[] = {0.5};
    double yq[1] = {9};
    EXPECT_EQ(alg_cubic_interpolation(x, x, 2, xq, yq, 1), ALG_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(std::string(get_last_error()), gbk("数组长度应该大于等于3。"));
    EXPECT_EQ(yq[0], 9.0);
}

TEST(CubicInterpolation, UnsortedKnotsAreNoError) {
    const double x[] = {2, 0, 1, 3};
    const double y[] = {1, 5, -1, 0};
    const double xq[] = {-1, 0.5, 2.5, 7};
    double yq[4];
    EXPECT_EQ(alg_cubic_interpolation(x, y, 4, xq, yq, 4), ALG_OK);
}

std::vector<double> grid(const std::vector<double>& x, size_t factor, size_t room) {
    std::vector<double> out(room, -1.0);
    EXPECT_EQ(alg_interpolation_x(x.data(), x.size(), factor, out.data()), ALG_OK);
    return out;
}

TEST(InterpolationX, RefinesEvenly) {
    EXPECT_EQ(grid({20, 25, 30}, 2, 5), (std::vector<double>{20, 22.5, 25, 27.5, 30}));
    // Only the ends count.
    EXPECT_EQ(grid({0, 100, 1}, 1, 3), (std::vector<double>{0, 0.5, 1}));
    EXPECT_EQ(grid({30, 25, 20}, 2, 5), (std::vector<double>{30, 27.5, 25, 22.5, 20}));
}

TEST(InterpolationX, AccumulatesStepsAndEndsOnTheLastAbscissa) {
    // Steps of 0.1 summed one at a time: 0.30000000000000004 at the third
    // point and 0.9999999999999999 at the last, which is set to 1 exactly.
    const std::vector<double> g = grid({0, 0.5, 1}, 5, 11);
    EXPECT_EQ(g[3], 0.30000000000000004);
    EXPECT_EQ(g[9], 0.8999999999999999);
    EXPECT_EQ(g[10], 1.0);
}

TEST(InterpolationX, FactorZeroGivesTheLastAbscissaOnly) {
    EXPECT_EQ(grid({4, 5, 6, 7}, 0, 2), (std::vector<double>{7, -1}));
}

TEST(InterpolationX, RefusesTwoAbscissae) {
    const double x[] = {0, 1};
    double out[3] = {9, 9, 9};
    EXPECT_EQ(alg_interpolation_x(x, 2, 2, out), ALG_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(std::string(get_last_error()), gbk("数组过少无法操作。"));
    EXPECT_EQ(out[0], 9.0);
}

TEST(InterpolationX, ImpossiblePointCountsFailCleanly) {
    const double x[] = {0, 1, 2};
    double out[1] = {9};
    // (n - 1) * factor overflows, or its + 1 does: no wrapped-around grid.
    EXPECT_EQ(alg_interpolation_x(x, 3, SIZE_MAX, out), ALG_ERR_FAILURE);
    EXPECT_STREQ(get_last_error(), "bad array new length");
    EXPECT_EQ(alg_interpolation_x(x, 3, SIZE_MAX / 2, out), ALG_ERR_FAILURE);
    EXPECT_STREQ(get_last_error(), "bad array new length");
    // Representable but far beyond any memory.
    EXPECT_EQ(alg_interpolation_x(x, 3, size_t{1} << 58, out), ALG_ERR_FAILURE);
    EXPECT_STREQ(get_last_error(), "bad allocation");
    EXPECT_EQ(out[0], 9.0);
}

}  // namespace
