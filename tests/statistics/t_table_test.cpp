// The Student-t table and the error bounds read from it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "statistics/relative_quantity.h"
#include "statistics/t_table.h"

namespace {

using quelmar::kTTableLevels;
using quelmar::kTTableRows;
using quelmar::t_critical_table;

const double kLevels[kTTableLevels] = {0.95, 0.97, 0.99, 0.995, 0.997, 0.999};

// Published critical values (rows for 2, 3, 10, 30 and 95 degrees of freedom).
struct TellingRow {
    int df;
    double values[kTTableLevels];
};
const TellingRow kTellingRows[] = {
    {2, {4.30265273, 5.642778353, 9.9248432, 14.08904727, 18.21631369, 31.59905458}},
    {3, {3.182446305, 3.896045934, 5.840909309, 7.453318505, 8.891456288, 12.92397864}},
    {10, {2.228138842, 2.527484243, 3.169272672, 3.581406202, 3.891954626, 4.586893858}},
    {30, {2.042272449, 2.278262321, 2.749995652, 3.02979822, 3.229646121, 3.645958632}},
    {95, {1.985250956, 2.203174065, 2.628575664, 2.874073355, 3.046187595, 3.395903569}},
};

TEST(TTable, HoldsThePublishedRowsAsPrinted) {
    for (const TellingRow& row : kTellingRows) {
        for (std::size_t c = 0; c < kTTableLevels; ++c) {
            EXPECT_EQ(t_critical_table[row.df - 2][c], row.values[c]) << "df " << row.df << " column " << c;
        }
    }
}

TEST(TTable, TwoDegreesOfFreedomMatchTheClosedForm) {
    // With two degrees of freedom P(|T| <= t) = t / sqrt(2 + t^2), so the
    // two-sided critical value for confidence L is L * sqrt(2 / (1 - L^2)).
    // The row holds the published values, printed to about ten digits.
    for (std::size_t c = 0; c < kTTableLevels; ++c) {
        const double level = kLevels[c];
        const double exact = level * std::sqrt(2.0 / (1.0 - level * level));
        EXPECT_NEAR(t_critical_table[0][c], exact, 1e-9 * exact) << "column " << c;
    }
}

TEST(TTable, GrowsWithConfidenceAndShrinksWithDegreesOfFreedom) {
    for (std::size_t r = 0; r < kTTableRows; ++r) {
        for (std::size_t c = 0; c < kTTableLevels; ++c) {
            EXPECT_GT(t_critical_table[r][c], 1.959963984540054) << r << "," << c;  // the normal limit at 95 %
            if (c > 0) {
                EXPECT_GT(t_critical_table[r][c], t_critical_table[r][c - 1]) << r << "," << c;
            }
            if (r > 0) {
                EXPECT_LT(t_critical_table[r][c], t_critical_table[r - 1][c]) << r << "," << c;
            }
        }
    }
}

RqOptions options(int32_t kind, int32_t kind2, int32_t type, int32_t confidence, int32_t multiple) {
    return RqOptions{kind, kind2, type, confidence, multiple};
}

TEST(ErrorBounds, TheCountPicksTheRowFromFourToNinetySeven) {
    // Quantities with RQ 1 and se 2: the upper bound is 2^t.
    for (int32_t c = 0; c < 6; ++c) {
        double first[7] = {0, 0, 2.0, 1.0, -1, -1, 0};
        quelmar::error_bounds(4, options(2, 2, 1, c, 0), first);
        EXPECT_EQ(first[5], std::pow(2.0, t_critical_table[0][c]));
        EXPECT_EQ(first[4], 1.0 / std::pow(2.0, t_critical_table[0][c]));
        double last[7] = {0, 0, 2.0, 1.0, -1, -1, 0};
        quelmar::error_bounds(97, options(2, 2, 1, c, 0), last);
        EXPECT_EQ(last[5], std::pow(2.0, t_critical_table[93][c]));
    }
}

TEST(ErrorBounds, AFactorBelowOneKeepsLowerBelowUpper) {
    // Quantities, se 0.5: f = 0.5^t < 1, so RQ * f is the lower bound.
    double r[7] = {0, 0, 0.5, 3.0, 0, 0, 0};
    quelmar::error_bounds(5, options(2, 2, 1, 0, 0), r);
    const double f = std::pow(0.5, t_critical_table[1][0]);
    EXPECT_EQ(r[4], 3.0 * f);
    EXPECT_EQ(r[5], 3.0 / f);
    // A negative multiple of the SD swaps them the same way.
    double s[7] = {0, 1.0, 0, 3.0, 0, 0, 0};
    quelmar::error_bounds(5, options(0, 0, 2, 0, -1), s);
    EXPECT_EQ(s[4], 1.5);
    EXPECT_EQ(s[5], 6.0);
}

}  // namespace
