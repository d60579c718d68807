// The least-squares line with its residual and R squared.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "expect_throw.h"
#include "fitting/linear_regression.h"

namespace {

// Slope, intercept, rms residual and R squared of the fit.
std::vector<double> fit(const std::vector<double>& x, const std::vector<double>& y) {
    const quelmar::LinearFit f = quelmar::linear_regression(quelmar::Vector::copy_of(x.data(), x.size()),
                                                            quelmar::Vector::copy_of(y.data(), y.size()));
    return {f.slope, f.intercept, f.rms_residual, f.r_squared};
}

TEST(LinearRegression, HandWorkedFits) {
    EXPECT_EQ(fit({1, 2, 3, 4}, {3, 5, 7, 9}), (std::vector<double>{2, 1, 0, 1}));
    // Residuals -0.5, 1, -0.5: SSE = 1.5 divided by n = 3, not n - 2; SST = 2.
    EXPECT_EQ(fit({1, 2, 3}, {1, 3, 2}), (std::vector<double>{0.5, 1, std::sqrt(0.5), 0.25}));
    // Constant observations: a flat line with R squared 1 - 0/0.
    const std::vector<double> flat = fit({1, 2, 3}, {4, 4, 4});
    EXPECT_EQ(std::vector<double>(flat.begin(), flat.begin() + 3), (std::vector<double>{0, 4, 0}));
    EXPECT_TRUE(std::isnan(flat[3]));
}

TEST(LinearRegression, DegenerateDataGivesNanAndOnlyUnequalLengthsThrow) {
    // Empty, one sample, and all x equal (Sxx = Sxy = 0).
    for (const auto& f : {fit({}, {}), fit({4}, {7}), fit({2, 2, 2}, {1, 5, 3})}) {
        for (double v : f) EXPECT_TRUE(std::isnan(v));
    }
    EXPECT_THROW_MSG(fit({1, 2, 3}, {1, 2, 3, 4}), std::invalid_argument, "两向量长度不等，元素个数不同不能相乘。");
}

}  // namespace
