// The least-squares line with its residual and R squared.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "expect_throw.h"
#include "fitting/linear_regression.h"

namespace {

using quelmar::LinearFit;
using quelmar::Vector;

LinearFit fit(const std::vector<double>& x, const std::vector<double>& y) {
    return quelmar::linear_regression(Vector::copy_of(x.data(), x.size()), Vector::copy_of(y.data(), y.size()));
}

void expect_all_nan(const LinearFit& f) {
    EXPECT_TRUE(std::isnan(f.slope));
    EXPECT_TRUE(std::isnan(f.intercept));
    EXPECT_TRUE(std::isnan(f.rms_residual));
    EXPECT_TRUE(std::isnan(f.r_squared));
}

TEST(LinearRegression, ExactLine) {
    const LinearFit f = fit({1, 2, 3, 4}, {3, 5, 7, 9});
    EXPECT_EQ(f.slope, 2.0);
    EXPECT_EQ(f.intercept, 1.0);
    EXPECT_EQ(f.rms_residual, 0.0);
    EXPECT_EQ(f.r_squared, 1.0);
}

TEST(LinearRegression, ResidualDividesByNNotNMinusTwo) {
    // Worked by hand: Sxy = 1, Sxx = 2, residuals -0.5, 1, -0.5, SSE = 1.5,
    // SST = 2. Every step is exact in binary.
    const LinearFit f = fit({1, 2, 3}, {1, 3, 2});
    EXPECT_EQ(f.slope, 0.5);
    EXPECT_EQ(f.intercept, 1.0);
    EXPECT_EQ(f.rms_residual, std::sqrt(0.5));
    EXPECT_EQ(f.r_squared, 0.25);
}

TEST(LinearRegression, DegenerateDataGivesNanNotAnError) {
    expect_all_nan(fit({}, {}));
    expect_all_nan(fit({4}, {7}));
    // Sxx = Sxy = 0.
    expect_all_nan(fit({2, 2, 2}, {1, 5, 3}));
}

TEST(LinearRegression, ConstantObservationsLeaveRSquaredUndefined) {
    const LinearFit f = fit({1, 2, 3}, {4, 4, 4});
    EXPECT_EQ(f.slope, 0.0);
    EXPECT_EQ(f.intercept, 4.0);
    EXPECT_EQ(f.rms_residual, 0.0);
    EXPECT_TRUE(std::isnan(f.r_squared));  // 1 - 0/0
}

TEST(LinearRegression, RefusesUnequalLengths) {
    EXPECT_THROW_MSG(fit({1, 2, 3}, {1, 2, 3, 4}), std::invalid_argument, "两向量长度不等，元素个数不同不能相乘。");
    EXPECT_THROW_MSG(fit({}, {1}), std::invalid_argument, "两向量长度不等，元素个数不同不能相乘。");
}

}  // namespace
