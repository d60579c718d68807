// The natural cubic spline against values computed independently by SciPy:
// 12 uneven knots and 72 points in and around them (data/make_spline_reference.py).
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <vector>

#include "QuelmarAlg.h"

TEST(CubicInterpolation, MatchesSciPyNaturalSpline) {
    std::ifstream in(SPLINE_REFERENCE_FILE);
    std::size_t n = 0, m = 0;
    in >> n;
    std::vector<double> x(n), y(n), t, expected;
    for (double& v : x) in >> v;
    for (double& v : y) in >> v;
    ASSERT_TRUE(in >> m && n == 12 && m == 72) << SPLINE_REFERENCE_FILE;
    for (double ti, e; in >> ti >> e;) t.push_back(ti), expected.push_back(e);
    ASSERT_EQ(t.size(), m);
    std::vector<double> got(m);
    ASSERT_EQ(alg_cubic_interpolation(x.data(), y.data(), n, t.data(), got.data(), m), ALG_OK);
    // SciPy's banded solver rounds differently: the values (up to 57) agree
    // within 5e-15 relative, and 1e-12 hides no wrong coefficient.
    for (std::size_t i = 0; i < m; ++i)
        EXPECT_NEAR(got[i], expected[i], 1e-12 * (1 + std::fabs(expected[i]))) << "t = " << t[i];
}
