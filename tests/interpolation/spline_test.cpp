// The natural cubic spline and its segment search, on the library's own
// types: hand-worked coefficients, exact identities and values computed
// independently by SciPy.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <vector>

#include "expect_throw.h"
#include "interpolation/cubic_spline.h"
#include "numeric/vector.h"

namespace {

using quelmar::CubicSpline;
using quelmar::Vector;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

Vector vec(const std::vector<double>& v) { return Vector::copy_of(v.data(), v.size()); }

TEST(CubicSpline, HandWorkedThreeKnots) {
    // h = 1, 1; alpha[1] = -6; l[1] = 4, mu[1] = 1/4, z[1] = -1.5: every step
    // is exact in binary, so are the coefficients.
    const double x[] = {0, 1, 2};
    const double y[] = {0, 1, 0};
    const CubicSpline s(x, y, 3);
    EXPECT_EQ(s.a()[0], 0.0);
    EXPECT_EQ(s.a()[1], 1.0);
    EXPECT_EQ(s.b()[0], 1.5);
    EXPECT_EQ(s.b()[1], 0.0);
    EXPECT_EQ(s.c()[0], 0.0);
    EXPECT_EQ(s.c()[1], -1.5);
    EXPECT_EQ(s.c()[2], 0.0);
    EXPECT_EQ(s.d()[0], -0.5);
    EXPECT_EQ(s.d()[1], 0.5);

    EXPECT_EQ(s(0.5), 0.6875);
    EXPECT_EQ(s(1.5), 0.6875);
    EXPECT_EQ(s(0.0), 0.0);
    EXPECT_EQ(s(1.0), 1.0);
    EXPECT_EQ(s(2.0), 0.0);
    // The end cubics carry on outside the knots; they are not clamped.
    EXPECT_EQ(s(-1.0), -1.0);
    EXPECT_EQ(s(3.0), -1.0);
}

TEST(CubicSpline, ReproducesALineEverywhere) {
    const double x[] = {0, 1, 2, 3};
    const double y[] = {0, 2, 4, 6};
    const CubicSpline s(x, y, 4);
    for (std::size_t j = 0; j < 4; ++j) {
        EXPECT_EQ(s.c()[j], 0.0);
        if (j < 3) {
            EXPECT_EQ(s.d()[j], 0.0);
        }
    }
    for (double t : {-7.5, -1.0, 0.0, 0.25, 1.0, 2.5, 3.0, 5.0, 40.0}) EXPECT_EQ(s(t), 2 * t) << t;

    // Uneven knots: the curvature terms are zero only up to rounding.
    const double ux[] = {-1.3, 0.2, 0.7, 2.9, 3.05};
    double uy[5];
    for (int i = 0; i < 5; ++i) uy[i] = 2 * ux[i] - 1;
    const CubicSpline u(ux, uy, 5);
    for (double t = -6.0; t <= 9.0; t += 0.37) EXPECT_NEAR(u(t), 2 * t - 1, 1e-12) << t;
}

TEST(SplineSegment, BisectsAndExtrapolatesWithTheEndSegments) {
    const double x[] = {0, 1, 2, 3, 4};
    const double y[] = {1, 0, 1, 0, 1};
    const CubicSpline s(x, y, 5);
    EXPECT_EQ(quelmar::spline_segment(s, -5.0), 0u);
    EXPECT_EQ(quelmar::spline_segment(s, -kInf), 0u);
    EXPECT_EQ(quelmar::spline_segment(s, 0.0), 0u);
    EXPECT_EQ(quelmar::spline_segment(s, 1.0), 1u);
    EXPECT_EQ(quelmar::spline_segment(s, 2.5), 2u);
    EXPECT_EQ(quelmar::spline_segment(s, 3.0), 3u);
    EXPECT_EQ(quelmar::spline_segment(s, 4.0), 3u);  // the last knot closes the last segment
    EXPECT_EQ(quelmar::spline_segment(s, 1e300), 3u);
    EXPECT_EQ(quelmar::spline_segment(s, kNaN), 3u);
    EXPECT_TRUE(std::isnan(s(kNaN)));
}

TEST(CubicSpline, RefusesTooFewKnotsThenNullData) {
    const double x[] = {0, 1, 2};
    EXPECT_THROW_MSG(CubicSpline(x, x, 2), std::invalid_argument, "数组长度应该大于等于3。");
    EXPECT_THROW_MSG(CubicSpline(nullptr, nullptr, 0), std::invalid_argument, "数组长度应该大于等于3。");
    EXPECT_THROW_MSG(CubicSpline(nullptr, x, 3), std::invalid_argument, "数据不能为空。");
    EXPECT_THROW_MSG(CubicSpline(x, nullptr, 3), std::invalid_argument, "数据不能为空。");
}

TEST(SplineResample, EvaluatesOnTheGridAndChecksLengths) {
    const Vector x = vec({0, 1, 2});
    const Vector y = vec({0, 1, 0});
    const Vector r = quelmar::spline_resample(x, y, vec({-1, 0.5, 1.5, 3}));
    ASSERT_EQ(r.size(), 4u);
    EXPECT_EQ(r[0], -1.0);
    EXPECT_EQ(r[1], 0.6875);
    EXPECT_EQ(r[2], 0.6875);
    EXPECT_EQ(r[3], -1.0);
    EXPECT_EQ(quelmar::spline_resample(x, y, Vector()).size(), 0u);
    EXPECT_THROW_MSG(quelmar::spline_resample(x, vec({0, 1}), vec({0.5})), std::invalid_argument,
                     "数组长度应该相等。");
}

TEST(CubicSpline, BadAbscissaeGiveNumbersNotErrors) {
    // Repeated, unsorted, NaN and infinite abscissae are not checked. The
    // results are whatever the formulas give, and the search stays on a
    // real segment (the sanitizer build would see anything else).
    const std::vector<std::vector<double>> knots = {
        {0, 1, 1, 2}, {3, 0, 2, 1}, {0, kNaN, 2, 3}, {0, 1, kInf, 3}, {kNaN, kNaN, kNaN, kNaN}};
    const double y[] = {1, -2, 3, 0.5};
    for (const auto& x : knots) {
        const CubicSpline s(x.data(), y, 4);
        for (double t : {-kInf, -3.0, 0.0, 1.0, 1.5, 2.0, 9.0, kInf, kNaN}) {
            EXPECT_LE(quelmar::spline_segment(s, t), 2u);
            (void)s(t);
        }
    }
    const double repeated[] = {0, 1, 1, 2};
    EXPECT_FALSE(std::isfinite(CubicSpline(repeated, y, 4)(0.5)));
}

// Knots with uneven steps and values at 72 points inside, on and outside
// the knots, from SciPy's CubicSpline(x, y, bc_type='natural'); see
// data/make_spline_reference.py for the command that made the file.
TEST(CubicSpline, MatchesSciPyNaturalSpline) {
    std::ifstream in(SPLINE_REFERENCE_FILE);
    ASSERT_TRUE(in) << SPLINE_REFERENCE_FILE;
    std::size_t n = 0, m = 0;
    in >> n;
    std::vector<double> x(n), y(n);
    for (double& v : x) in >> v;
    for (double& v : y) in >> v;
    in >> m;
    ASSERT_EQ(n, 12u);
    ASSERT_EQ(m, 72u);
    const CubicSpline s(x.data(), y.data(), n);
    for (std::size_t i = 0; i < m; ++i) {
        double t = 0, expected = 0;
        in >> t >> expected;
        ASSERT_TRUE(in);
        // SciPy solves the same system with a banded LAPACK solver, rounding
        // differently; the values (up to 57 in size) agree within 5e-15
        // relative, and 1e-12 leaves room without hiding a wrong coefficient.
        EXPECT_NEAR(s(t), expected, 1e-12 * (1 + std::fabs(expected))) << "t = " << t;
    }
}

}  // namespace
