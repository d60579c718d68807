// Standard curves through the C interface, checked against NIST's certified
// Norris regression (the hand-worked lines are in the fitting tests).
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "QuelmarAlg.h"
#include "csv_columns.h"
#include "gbk.h"

namespace {

TEST(CalcStandard, ReproducesTheCertifiedNorrisRegression) {
    // Columns y, x.
    const auto columns = quelmar_test::read_csv_columns(QUELMARALG_DATA_DIR "/nist_norris.csv");
    ASSERT_EQ(columns.size(), 2u);
    const std::vector<double>& y = columns[0];
    const std::vector<double>& x = columns[1];
    ASSERT_EQ(x.size(), 36u);

    double out[4];
    ASSERT_EQ(alg_calc_standard(x.data(), x.size(), y.data(), y.size(), out), ALG_OK);
    // Slope, intercept, rms residual, R squared. The certified residual SD
    // divides SSE by n - 2; the library divides by n.
    const double certified[4] = {1.00211681802045, -0.262323073774029, 0.884796396144373 * std::sqrt(34.0 / 36.0),
                                 0.999993745883712};
    for (int i = 0; i < 4; ++i) EXPECT_LE(std::fabs(out[i] - certified[i]), 1e-12 * std::fabs(certified[i])) << i;
}

TEST(CalcStandard, UnequalLengthsFailAndNoPointsGiveNaN) {
    const double x[] = {1, 2, 3, 4};
    double out[4] = {7, 7, 7, 7};
    EXPECT_EQ(alg_calc_standard(x, 3, x, 4, out), ALG_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(std::string(get_last_error()), quelmar_test::gbk("两向量长度不等，元素个数不同不能相乘。"));
    for (double v : out) EXPECT_EQ(v, 7.0);
    ASSERT_EQ(alg_calc_standard(x, 0, x, 0, out), ALG_OK);
    for (double v : out) EXPECT_TRUE(std::isnan(v));
}

}  // namespace
