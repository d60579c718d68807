// Per-gene statistics of a textbook sample; the worked examples, the
// logarithmic statistics and the empty and one-value cases run through alg_calc_sd.
#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>

#include "numeric/vector.h"
#include "statistics/replicate_stats.h"

namespace {

quelmar::Vector vec(std::initializer_list<double> v) { return quelmar::Vector::copy_of(v.begin(), v.size()); }

TEST(ReplicateStats, DividesTheSpreadByNMinusOne) {
    const quelmar::ReplicateStats s = quelmar::replicate_stats(vec({2, 4, 4, 4, 5, 5, 7, 9}));
    EXPECT_EQ(s.mean, 5.0);
    EXPECT_EQ(s.sd, std::sqrt(32.0 / 7.0));  // divided by n - 1
    EXPECT_EQ(s.se, std::sqrt(32.0 / 7.0) / std::sqrt(8.0));
}

}  // namespace
