// Standard curves through the C interface, checked against NIST's certified
// Norris regression.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "QuelmarAlg.h"
#include "gbk.h"

namespace {

using quelmar_test::gbk;

TEST(CalcStandard, ADilutionSeriesGivesItsLine) {
    const double x[] = {1, 2, 3, 4, 5};
    const double y[] = {30, 26.7, 23.4, 20.1, 16.8};
    double out[4] = {0, 0, 0, 0};
    ASSERT_EQ(alg_calc_standard(x, 5, y, 5, out), ALG_OK);
    EXPECT_NEAR(out[0], -3.3, 1e-13);
    EXPECT_NEAR(out[1], 33.3, 1e-13);
    EXPECT_NEAR(out[2], 0.0, 1e-13);
    EXPECT_NEAR(out[3], 1.0, 1e-15);
}

TEST(CalcStandard, ResidualIsDividedByTheCount) {
    // Line y = 0.5 x + 1 with SSE 1.5 over three points.
    const double x[] = {1, 2, 3};
    const double y[] = {1, 3, 2};
    double out[4];
    ASSERT_EQ(alg_calc_standard(x, 3, y, 3, out), ALG_OK);
    EXPECT_EQ(out[0], 0.5);
    EXPECT_EQ(out[1], 1.0);
    EXPECT_EQ(out[2], std::sqrt(0.5));
    EXPECT_EQ(out[3], 0.25);
}

TEST(CalcStandard, UnequalLengthsLeaveTheOutputAlone) {
    const double x[] = {1, 2, 3};
    const double y[] = {1, 2, 3, 4};
    double out[4] = {7, 7, 7, 7};
    EXPECT_EQ(alg_calc_standard(x, 3, y, 4, out), ALG_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(std::string(get_last_error()), gbk("两向量长度不等，元素个数不同不能相乘。"));
    for (double v : out) EXPECT_EQ(v, 7.0);
}

TEST(CalcStandard, NoPointsGiveNaN) {
    const double none[1] = {0};
    double out[4] = {7, 7, 7, 7};
    ASSERT_EQ(alg_calc_standard(none, 0, none, 0, out), ALG_OK);
    for (double v : out) EXPECT_TRUE(std::isnan(v));
}

// Relative agreement to twelve significant digits.
void expect_digits(double actual, double certified, const char* what) {
    EXPECT_LE(std::fabs(actual - certified), 1e-12 * std::fabs(certified))
        << what << ": " << actual << " vs " << certified;
}

TEST(CalcStandard, ReproducesTheCertifiedNorrisRegression) {
    std::ifstream file(QUELMARALG_DATA_DIR "/nist_norris.csv");
    ASSERT_TRUE(file) << "cannot open nist_norris.csv";
    std::string line;
    ASSERT_TRUE(std::getline(file, line));
    ASSERT_EQ(line, "y,x");
    std::vector<double> x;
    std::vector<double> y;
    while (std::getline(file, line)) {
        if (line.empty()) continue;
        std::istringstream fields(line);
        double yv = 0;
        double xv = 0;
        char comma = 0;
        ASSERT_TRUE(fields >> yv >> comma >> xv) << line;
        y.push_back(yv);
        x.push_back(xv);
    }
    ASSERT_EQ(x.size(), 36u);

    double out[4];
    ASSERT_EQ(alg_calc_standard(x.data(), x.size(), y.data(), y.size(), out), ALG_OK);
    expect_digits(out[0], 1.00211681802045, "slope");
    expect_digits(out[1], -0.262323073774029, "intercept");
    expect_digits(out[3], 0.999993745883712, "R squared");
    // Certified residual SD divides SSE by n - 2; the library divides by n.
    expect_digits(out[2], 0.884796396144373 * std::sqrt(34.0 / 36.0), "rms residual");
}

}  // namespace
