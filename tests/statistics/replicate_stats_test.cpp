// Per-gene statistics.
#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>

#include "numeric/vector.h"
#include "statistics/replicate_stats.h"

namespace {

using quelmar::Vector;

Vector vec(std::initializer_list<double> values) { return Vector::copy_of(values.begin(), values.size()); }

TEST(ReplicateStats, SampleDeviationAndStandardError) {
    const quelmar::ReplicateStats s = quelmar::replicate_stats(vec({2, 4, 4, 4, 5, 5, 7, 9}));
    EXPECT_EQ(s.mean, 5.0);
    EXPECT_EQ(s.sd, std::sqrt(32.0 / 7.0));  // divided by n - 1
    EXPECT_EQ(s.se, std::sqrt(32.0 / 7.0) / std::sqrt(8.0));
}

TEST(ReplicateStats, OneValueHasNoSpreadAndNoneHasNoMean) {
    const quelmar::ReplicateStats one = quelmar::replicate_stats(vec({3.25}));
    EXPECT_EQ(one.mean, 3.25);
    EXPECT_EQ(one.sd, 0.0);
    EXPECT_EQ(one.se, 0.0);
    const quelmar::ReplicateStats none = quelmar::replicate_stats(Vector());
    EXPECT_TRUE(std::isnan(none.mean));
    EXPECT_EQ(none.sd, 0.0);
    EXPECT_TRUE(std::isnan(none.se));
}

TEST(ReplicateStats, LogStatisticsReportTheGeometricMean) {
    const quelmar::ReplicateStats s = quelmar::log_replicate_stats(vec({10, 1000}));
    EXPECT_EQ(s.mean, 100.0);  // 10^((1 + 3) / 2)
    EXPECT_EQ(s.sd, std::sqrt(2.0));
    EXPECT_EQ(s.se, 1.0);
}

}  // namespace
