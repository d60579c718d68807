// The natural cubic spline and its segment search: hand-worked coefficients,
// exact identities and values computed independently by SciPy.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <utility>
#include <vector>

#include "expect_throw.h"
#include "interpolation/cubic_spline.h"

namespace {

using quelmar::CubicSpline;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

std::vector<double> values(const quelmar::Vector& v) { return std::vector<double>(v.begin(), v.end()); }

TEST(CubicSpline, HandWorkedCoefficientsAndRefusals) {
    // h = 1, 1; alpha[1] = -6; l[1] = 4, mu[1] = 1/4, z[1] = -1.5: all exact.
    const double x[] = {0, 1, 2};
    const double y[] = {0, 1, 0};
    const CubicSpline s(x, y, 3);
    EXPECT_EQ((std::vector<std::vector<double>>{values(s.a()), values(s.b()), values(s.c()), values(s.d())}),
              (std::vector<std::vector<double>>{{0, 1, 0}, {1.5, 0, 0}, {0, -1.5, 0}, {-0.5, 0.5, 0}}));
    EXPECT_THROW_MSG(CubicSpline(nullptr, x, 2), std::invalid_argument, "数组长度应该大于等于3。");  // count first
    EXPECT_THROW_MSG(CubicSpline(x, nullptr, 3), std::invalid_argument, "数据不能为空。");
    EXPECT_THROW_MSG(quelmar::spline_resample(s.x(), quelmar::Vector::copy_of(y, 2), s.x()),
                     std::invalid_argument, "数组长度应该相等。");
}

TEST(CubicSpline, ReproducesALineEverywhere) {
    const double x[] = {0, 1, 2, 3};
    const double y[] = {0, 2, 4, 6};
    const CubicSpline s(x, y, 4);
    for (double t : {-7.5, 0.25, 1.0, 2.5, 3.0, 5.0, 40.0}) EXPECT_EQ(s(t), 2 * t) << t;
}

TEST(SplineSegment, StaysOnARealSegmentWhateverTheAbscissae) {
    const double x[] = {0, 1, 2, 3, 4};
    const CubicSpline s(x, x, 5);
    // A knot opens its segment, except the last, which closes the last one.
    for (auto [t, segment] : {std::pair{-kInf, 0u}, {0.0, 0}, {1.0, 1}, {2.5, 2}, {4.0, 3}, {1e300, 3}, {kNaN, 3}})
        EXPECT_EQ(quelmar::spline_segment(s, t), segment) << t;
    EXPECT_TRUE(std::isnan(s(kNaN)));
    // Repeated, unsorted, NaN and infinite abscissae are not checked.
    for (const auto& bad : std::vector<std::vector<double>>{
             {0, 1, 1, 2}, {3, 0, 2, 1}, {0, kNaN, 2, 3}, {0, 1, kInf, 3}, {kNaN, kNaN, kNaN, kNaN}}) {
        const CubicSpline b(bad.data(), x, 4);
        for (double t : {-kInf, -3.0, 1.0, 1.5, 9.0, kInf, kNaN}) EXPECT_LE(quelmar::spline_segment(b, t), 2u);
    }
    const double repeated[] = {0, 1, 1, 2};
    EXPECT_FALSE(std::isfinite(CubicSpline(repeated, x, 4)(0.5)));
}

// 12 uneven knots and 72 points in and around them, valued by SciPy's
// CubicSpline(x, y, bc_type='natural'): see data/make_spline_reference.py.
TEST(CubicSpline, MatchesSciPyNaturalSpline) {
    std::ifstream in(SPLINE_REFERENCE_FILE);
    std::size_t n = 0, m = 0;
    in >> n;
    std::vector<double> x(n), y(n);
    for (double& v : x) in >> v;
    for (double& v : y) in >> v;
    ASSERT_TRUE(in >> m && n == 12 && m == 72) << SPLINE_REFERENCE_FILE;
    const CubicSpline s(x.data(), y.data(), n);
    // SciPy's banded solver rounds differently: the values (up to 57) agree
    // within 5e-15 relative, and 1e-12 hides no wrong coefficient.
    for (std::size_t i = 0; i < m; ++i) {
        double t = 0, expected = 0;
        ASSERT_TRUE(in >> t >> expected);
        EXPECT_NEAR(s(t), expected, 1e-12 * (1 + std::fabs(expected))) << "t = " << t;
    }
}

}  // namespace
