// Independent references of the statistics: NIST's certified Norris
// regression and the published rows of Student's t, read through alg_calc_rq.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "QuelmarAlg.h"
#include "csv_columns.h"

namespace {

TEST(CalcStandard, ReproducesTheCertifiedNorrisRegression) {
    const auto columns = quelmar_test::read_csv_columns(QUELMARALG_DATA_DIR "/nist_norris.csv");  // y, x
    ASSERT_TRUE(columns.size() == 2 && columns[1].size() == 36);
    double out[4];
    ASSERT_EQ(alg_calc_standard(columns[1].data(), 36, columns[0].data(), 36, out), ALG_OK);
    // Slope, intercept, rms residual, R squared. The certified residual SD
    // divides SSE by n - 2; the library divides by n.
    const double certified[4] = {1.00211681802045, -0.262323073774029, 0.884796396144373 * std::sqrt(34.0 / 36.0),
                                 0.999993745883712};
    for (int i = 0; i < 4; ++i) EXPECT_LE(std::fabs(out[i] - certified[i]), 1e-12 * std::fabs(certified[i])) << i;
}

// The upper bound of RQ 1 with an se factor of 2 and N values at confidence
// level c is 2^t for N - 2 degrees of freedom.
double two_to_t(double n, int32_t level) {
    const RqOptions options{2, 2, 1, level, 0};
    const double summary[] = {1, 0, 2, n};
    double result[7];
    EXPECT_EQ(alg_calc_rq(&options.dataKind, summary, 4, 1, result), ALG_OK);
    return result[5];
}

TEST(TTable, HoldsThePublishedRowsAsPrinted) {
    const std::vector<std::vector<double>> published = {
        {2, 4.30265273, 5.642778353, 9.9248432, 14.08904727, 18.21631369, 31.59905458},
        {3, 3.182446305, 3.896045934, 5.840909309, 7.453318505, 8.891456288, 12.92397864},
        {10, 2.228138842, 2.527484243, 3.169272672, 3.581406202, 3.891954626, 4.586893858},
        {30, 2.042272449, 2.278262321, 2.749995652, 3.02979822, 3.229646121, 3.645958632},
        {95, 1.985250956, 2.203174065, 2.628575664, 2.874073355, 3.046187595, 3.395903569},
    };
    for (const auto& row : published)
        for (int c = 0; c < 6; ++c) EXPECT_EQ(two_to_t(row[0] + 2, c), std::pow(2.0, row[c + 1])) << row[0] << " " << c;
}

// A shifted, swapped or mistyped generated row breaks the order of the table.
TEST(TTable, GrowsWithConfidenceAndShrinksWithDegreesOfFreedom) {
    for (int n = 4; n <= 97; ++n)
        for (int c = 0; c < 6; ++c) {
            const double t = two_to_t(n, c);
            EXPECT_GT(t, std::pow(2.0, 1.959963984540054)) << n << "," << c;  // the normal limit at 95 %
            EXPECT_TRUE(c == 0 || t > two_to_t(n, c - 1)) << n << "," << c;
            EXPECT_TRUE(n == 4 || t < two_to_t(n - 1, c)) << n << "," << c;
        }
}

}  // namespace
