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

Vector sampled(const Vector& x, double c0, double c1, double c2) {
    Vector y(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) y[i] = c0 * x[i] * x[i] + c1 * x[i] + c2;
    return y;
}

TEST(QuadraticLeastSquares, ExactParabolaGivesItsCoefficients) {
    // Uneven abscissae, some negative: nothing depends on a regular grid.
    const Vector x = vec({-1.5, 0.0, 0.5, 2.0, 3.0, 4.25});
    Vector coeffs;
    quelmar::quadratic_least_squares(x, sampled(x, 2.0, -3.0, 0.5), coeffs);
    ASSERT_EQ(coeffs.size(), 3u);
    EXPECT_NEAR(coeffs[0], 2.0, 1e-12);
    EXPECT_NEAR(coeffs[1], -3.0, 1e-12);
    EXPECT_NEAR(coeffs[2], 0.5, 1e-12);
}

TEST(QuadraticLeastSquares, ProductOrderIsPartOfTheResult) {
    // x^2 on 1..5. Forming (X^T X)^-1 X^T before applying y leaves exactly
    // these rounding errors; applying X^T to y first would give
    // 0x1.fffffffffff6p-1, 0x1p-43, -0x1.8p-44 instead.
    Vector x;
    x.assign_sequence(1.0, 1.0, 5);
    Vector coeffs;
    quelmar::quadratic_least_squares(x, vec({1, 4, 9, 16, 25}), coeffs);
    EXPECT_EQ(coeffs[0], 0x1.fffffffffff68p-1);
    EXPECT_EQ(coeffs[1], 0x1.2p-43);
    EXPECT_EQ(coeffs[2], -0x1.04p-43);
}

TEST(QuadraticLeastSquares, FitsNoisyDataInTheLeastSquaresSense) {
    // y = x^2 plus a residual orthogonal to 1, x and x^2 on x = -2..2
    // (the discrete fourth-order Legendre polynomial): the fit ignores it.
    const Vector x = vec({-2, -1, 0, 1, 2});
    Vector y = sampled(x, 1.0, 0.0, 0.0);
    const double residual[] = {1, -4, 6, -4, 1};
    for (std::size_t i = 0; i < 5; ++i) y[i] += residual[i];
    Vector coeffs;
    quelmar::quadratic_least_squares(x, y, coeffs);
    EXPECT_NEAR(coeffs[0], 1.0, 1e-12);
    EXPECT_NEAR(coeffs[1], 0.0, 1e-12);
    EXPECT_NEAR(coeffs[2], 0.0, 1e-12);
}

TEST(QuadraticLeastSquares, RefusesTooFewSamplesAndLeavesTheResultAlone) {
    Vector coeffs = vec({7, 8, 9});
    for (std::size_t n = 0; n < 3; ++n) {
        Vector x;
        x.assign_sequence(1.0, 1.0, n);
        EXPECT_THROW_MSG(quelmar::quadratic_least_squares(x, x, coeffs), std::invalid_argument,
                         "左矩阵列数与右矩阵行数不同，不能相乘。");
    }
    EXPECT_EQ(coeffs[0], 7.0);
    EXPECT_EQ(coeffs[2], 9.0);
}

TEST(QuadraticLeastSquares, RefusesObservationsOfAnotherLength) {
    Vector coeffs;
    EXPECT_THROW_MSG(quelmar::quadratic_least_squares(vec({1, 2, 3, 4}), vec({1, 2, 3}), coeffs),
                     std::invalid_argument, "矩阵列数与列向量长度不同，不能进行矩阵左乘！");
}

TEST(QuadraticEval, EvaluatesEachAbscissa) {
    const Vector r = quelmar::quadratic_eval(vec({2.0, -3.0, 0.5}), vec({0.0, 1.0, 2.0, 0.5, -1.0}));
    EXPECT_EQ(r.size(), 5u);
    EXPECT_EQ(r[0], 0.5);
    EXPECT_EQ(r[1], -0.5);
    EXPECT_EQ(r[2], 2.5);
    EXPECT_EQ(r[3], -0.5);
    EXPECT_EQ(r[4], 5.5);
    EXPECT_EQ(quelmar::quadratic_eval(vec({1, 2, 3}), Vector()).size(), 0u);
}

// --- alg_sample_data_fitting ----------------------------------------------

// Samples of c0 x^2 + c1 x + c2 at x = 1..n.
std::vector<double> parabola_samples(std::size_t n, double c0, double c1, double c2) {
    std::vector<double> y;
    for (std::size_t i = 1; i <= n; ++i) {
        const double x = static_cast<double>(i);
        y.push_back(c0 * x * x + c1 * x + c2);
    }
    return y;
}

double fitted_extreme(const std::vector<double>& data) {
    double result = -1.0;
    EXPECT_EQ(alg_sample_data_fitting(data.data(), data.size(), &result), ALG_OK);
    EXPECT_STREQ(get_last_error(), "");
    return result;
}

TEST(SampleDataFitting, VertexOutsideGivesTheLargerEndValue) {
    // x^2 on 1..5: vertex at 0, so the larger of f(11) = 121 and f(1) = 1.
    EXPECT_NEAR(fitted_extreme({1, 4, 9, 16, 25}), 121.0, 1e-9);
    // -(x - 20)^2: vertex beyond 11, the larger end value is f(11) = -81.
    EXPECT_NEAR(fitted_extreme(parabola_samples(6, -1.0, 40.0, -400.0)), -81.0, 1e-9);
    // A falling line: no curvature, the vertex is infinitely far, f(1) wins.
    EXPECT_NEAR(fitted_extreme({10, 8, 6, 4}), 10.0, 1e-9);
}

TEST(SampleDataFitting, VertexInsideGivesTheExtremeEvenAMinimum) {
    // -(x - 6)^2 + 10 and (x - 6)^2 on 1..11.
    EXPECT_NEAR(fitted_extreme(parabola_samples(11, -1.0, 12.0, -26.0)), 10.0, 1e-9);
    EXPECT_NEAR(fitted_extreme(parabola_samples(11, 1.0, -12.0, 36.0)), 0.0, 1e-9);
}

TEST(SampleDataFitting, IntervalIsOneToElevenWhateverTheCount) {
    // (x - 9)^2 sampled at 1..4 only: the vertex 9 is past the samples but
    // inside [1, 11], so its minimum 0 is the answer.
    EXPECT_NEAR(fitted_extreme(parabola_samples(4, 1.0, -18.0, 81.0)), 0.0, 1e-9);
    // (x - 12)^2 on 1..20: the vertex is among the samples but past 11.
    EXPECT_NEAR(fitted_extreme(parabola_samples(20, 1.0, -24.0, 144.0)), 121.0, 1e-9);
}

// Checks that these samples put the fitted vertex exactly at the given
// abscissa, so that the inclusive bound is what decides.
void expect_vertex_exactly_at(const std::vector<double>& data, double at) {
    Vector x;
    x.assign_sequence(1.0, 1.0, data.size());
    Vector c;
    quelmar::quadratic_least_squares(x, Vector::copy_of(data.data(), data.size()), c);
    ASSERT_EQ(-c[1] / (c[0] + c[0]), at);
}

TEST(SampleDataFitting, VertexExactlyOnABoundCountsAsInside) {
    // 0.25 (x - 1)^2 + 3: an upward parabola whose vertex rounds to exactly 1.
    // Inside gives its minimum near 3; outside would give f(11), near 28.
    const std::vector<double> at_one = parabola_samples(4, 0.25, -0.5, 3.25);
    expect_vertex_exactly_at(at_one, 1.0);
    EXPECT_NEAR(fitted_extreme(at_one), 3.0, 1e-9);
    // 3 (x - 11)^2: vertex exactly at 11. Inside gives about 0; outside
    // would give f(1), about 300.
    const std::vector<double> at_eleven = parabola_samples(7, 3.0, -66.0, 363.0);
    expect_vertex_exactly_at(at_eleven, 11.0);
    EXPECT_NEAR(fitted_extreme(at_eleven), 0.0, 1e-9);
}

TEST(SampleDataFitting, FewerThanThreeSamplesFailAndLeaveTheResultAlone) {
    // Two samples cannot determine a parabola: refused like none or one.
    const double data[] = {3.0, 5.0};
    for (std::size_t count = 0; count < 3; ++count) {
        double result = 42.0;
        EXPECT_EQ(alg_sample_data_fitting(data, count, &result), ALG_ERR_INVALID_ARGUMENT);
        EXPECT_EQ(std::string(get_last_error()), quelmar_test::gbk("左矩阵列数与右矩阵行数不同，不能相乘。"));
        EXPECT_EQ(result, 42.0);
    }
}

TEST(SampleDataFitting, ReadsExactlyCountSamples) {
    // Exactly sized heap blocks: the sanitizer build reports any read past
    // the end.
    for (std::size_t count = 0; count <= 12; ++count) {
        std::vector<double> data = parabola_samples(count, -0.5, 3.0, 1.0);
        data.shrink_to_fit();
        double result = 0.0;
        EXPECT_EQ(alg_sample_data_fitting(data.data(), count, &result),
                  count < 3 ? ALG_ERR_INVALID_ARGUMENT : ALG_OK);
    }
}

}  // namespace
