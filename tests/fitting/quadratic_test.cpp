// The least-squares parabola and the sample-data fitting export.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "QuelmarAlg.h"
#include "expect_throw.h"
#include "fitting/quadratic.h"
#include "gbk.h"

namespace {

using quelmar::Vector;

Vector vec(const std::vector<double>& values) { return Vector::copy_of(values.data(), values.size()); }

TEST(QuadraticLeastSquares, ExactParabolaProductOrderAndEvaluation) {
    // 2x^2 - 3x + 0.5 sampled exactly on uneven abscissae.
    Vector c;
    quelmar::quadratic_least_squares(vec({-1.5, 0, 0.5, 2, 3, 4.25}), vec({9.5, 0.5, -0.5, 2.5, 9.5, 23.875}), c);
    EXPECT_NEAR(c[0], 2.0, 1e-12);
    EXPECT_NEAR(c[1], -3.0, 1e-12);
    EXPECT_NEAR(c[2], 0.5, 1e-12);
    // x^2 on 1..5. Applying X^T to y before (X^T X)^-1 would round to
    // 0x1.fffffffffff6p-1, 0x1p-43 and -0x1.8p-44 instead.
    quelmar::quadratic_least_squares(vec({1, 2, 3, 4, 5}), vec({1, 4, 9, 16, 25}), c);
    EXPECT_EQ(std::vector<double>(c.begin(), c.end()),
              (std::vector<double>{0x1.fffffffffff68p-1, 0x1.2p-43, -0x1.04p-43}));
    const Vector r = quelmar::quadratic_eval(vec({2.0, -3.0, 0.5}), vec({0.0, 2.0, 0.5, -1.0}));
    EXPECT_EQ(std::vector<double>(r.begin(), r.end()), (std::vector<double>{0.5, 2.5, -0.5, 5.5}));
}

TEST(QuadraticLeastSquares, RefusesObservationsOfAnotherLengthAndKeepsTheResult) {
    Vector coeffs = vec({7, 8, 9});
    EXPECT_THROW_MSG(quelmar::quadratic_least_squares(vec({1, 2, 3, 4}), vec({1, 2, 3}), coeffs),
                     std::invalid_argument, "矩阵列数与列向量长度不同，不能进行矩阵左乘！");
    EXPECT_EQ(coeffs[0], 7.0);
}

// Samples of c0 x^2 + c1 x + c2 at x = 1..n in a block of exactly n doubles,
// so that the sanitizer build sees any read past count.
std::vector<double> parabola(std::size_t n, double c0, double c1, double c2) {
    std::vector<double> y(n);
    for (std::size_t i = 0; i < n; ++i) y[i] = c0 * (i + 1.0) * (i + 1.0) + c1 * (i + 1.0) + c2;
    return y;
}

double fitted_extreme(const std::vector<double>& data) {
    double result = -1.0;
    EXPECT_EQ(alg_sample_data_fitting(data.data(), data.size(), &result), ALG_OK);
    return result;
}

TEST(SampleDataFitting, ExtremeInsideOneToElevenElseTheLargerEndValue) {
    EXPECT_NEAR(fitted_extreme({1, 4, 9, 16, 25}), 121.0, 1e-9);          // vertex 0: f(11)
    EXPECT_NEAR(fitted_extreme({10, 8, 6, 4}), 10.0, 1e-9);               // a line: f(1)
    EXPECT_NEAR(fitted_extreme(parabola(11, -1, 12, -26)), 10.0, 1e-9);   // maximum at 6
    EXPECT_NEAR(fitted_extreme(parabola(11, 1, -12, 36)), 0.0, 1e-9);     // minimum at 6
    // The interval stays 1..11 whatever the count.
    EXPECT_NEAR(fitted_extreme(parabola(4, 1, -18, 81)), 0.0, 1e-9);      // vertex 9
    EXPECT_NEAR(fitted_extreme(parabola(20, 1, -24, 144)), 121.0, 1e-9);  // vertex 12
    // These samples put the fitted vertex exactly on 1 and on 11, which count
    // as inside: outside would give f(11) = 28 and f(1) = 300.
    EXPECT_NEAR(fitted_extreme(parabola(4, 0.25, -0.5, 3.25)), 3.0, 1e-9);
    EXPECT_NEAR(fitted_extreme(parabola(7, 3, -66, 363)), 0.0, 1e-9);
}

TEST(SampleDataFitting, FewerThanThreeSamplesFailAndLeaveTheResultAlone) {
    // Two samples cannot fix a parabola: refused like none or one.
    const double data[] = {3.0, 5.0};
    for (std::size_t count = 0; count < 3; ++count) {
        double result = 42.0;
        EXPECT_EQ(alg_sample_data_fitting(data, count, &result), ALG_ERR_INVALID_ARGUMENT);
        EXPECT_EQ(std::string(get_last_error()), quelmar_test::gbk("左矩阵列数与右矩阵行数不同，不能相乘。"));
        EXPECT_EQ(result, 42.0);
    }
}

}  // namespace
