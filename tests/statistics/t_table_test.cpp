// The Student-t table (the rows it is read from are checked through alg_calc_rq).
#include <gtest/gtest.h>

#include <cstddef>

#include "statistics/t_table.h"

namespace {

using quelmar::kTTableLevels;
using quelmar::kTTableRows;
using quelmar::t_critical_table;

TEST(TTable, HoldsThePublishedRowsAsPrinted) {
    struct Row {
        int df;
        double values[kTTableLevels];
    };
    const Row published[] = {
        {2, {4.30265273, 5.642778353, 9.9248432, 14.08904727, 18.21631369, 31.59905458}},
        {3, {3.182446305, 3.896045934, 5.840909309, 7.453318505, 8.891456288, 12.92397864}},
        {10, {2.228138842, 2.527484243, 3.169272672, 3.581406202, 3.891954626, 4.586893858}},
        {30, {2.042272449, 2.278262321, 2.749995652, 3.02979822, 3.229646121, 3.645958632}},
        {95, {1.985250956, 2.203174065, 2.628575664, 2.874073355, 3.046187595, 3.395903569}},
    };
    for (const Row& row : published)
        for (std::size_t c = 0; c < kTTableLevels; ++c)
            EXPECT_EQ(t_critical_table[row.df - 2][c], row.values[c]) << "df " << row.df << " column " << c;
}

// A shifted, swapped or mistyped generated row breaks the order of the table.
TEST(TTable, GrowsWithConfidenceAndShrinksWithDegreesOfFreedom) {
    for (std::size_t r = 0; r < kTTableRows; ++r)
        for (std::size_t c = 0; c < kTTableLevels; ++c) {
            const double t = t_critical_table[r][c];
            EXPECT_GT(t, 1.959963984540054) << r << "," << c;  // the normal limit at 95 %
            EXPECT_TRUE(c == 0 || t > t_critical_table[r][c - 1]) << r << "," << c;
            EXPECT_TRUE(r == 0 || t < t_critical_table[r - 1][c]) << r << "," << c;
        }
}

}  // namespace
