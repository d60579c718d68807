// The Student-t table read through alg_calc_rq (its published rows are cases,
// tests/cases/reference.txt): with RQ 1 and an se factor of 2, N values at
// confidence level c give the upper bound 2^t for N - 2 degrees of freedom.
#include <gtest/gtest.h>

#include <cmath>

#include "QuelmarAlg.h"

namespace {

double two_to_t(double n, int32_t level) {
    const RqOptions options{2, 2, 1, level, 0};
    const double summary[] = {1, 0, 2, n};
    double result[7];
    EXPECT_EQ(alg_calc_rq(&options.dataKind, summary, 4, 1, result), ALG_OK);
    return result[5];
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
