// The running five-point smooth through alg_run_smooth.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "QuelmarAlg.h"

namespace {

// By value: an exactly sized copy, so the sanitizer build sees any overrun.
std::vector<double> run_smooth(std::vector<double> data) {
    EXPECT_EQ(alg_run_smooth(data.data(), data.size()), ALG_OK);
    return data;
}

TEST(RunSmooth, HandWorkedCurves) {
    EXPECT_EQ(alg_run_smooth(nullptr, 0), ALG_OK);
    // Fewer than six samples leave no window.
    EXPECT_EQ(run_smooth({0, 10, 0, -10, 0}), (std::vector<double>{0, 10, 0, -10, 0}));
    EXPECT_EQ(run_smooth({0, 0, 0, 10, 0, 0, 0, 0}), std::vector<double>(8, 0.0));
    // The last sample is never inside a window.
    EXPECT_EQ(run_smooth({0, 0, 0, 0, 0, 0, 0, 10}), (std::vector<double>{0, 0, 0, 0, 0, 0, 0, 10}));
    const std::vector<double> line = run_smooth({0, 1, 2, 3, 4, 5, 6, 7});
    for (int i = 0; i < 8; ++i) EXPECT_NEAR(line[i], i, 1e-12) << "sample " << i;
    EXPECT_EQ(line[7], 7.0);
    // A NaN spreads through the parabolas along the whole curve.
    std::vector<double> nan_line;
    for (int i = 0; i < 20; ++i) nan_line.push_back(i == 10 ? std::nan("") : i);
    const std::vector<double> out = run_smooth(nan_line);
    for (int i = 0; i < 19; ++i) EXPECT_TRUE(std::isnan(out[i])) << "sample " << i;
    EXPECT_EQ(out[19], 19.0);
}

TEST(RunSmooth, BitPattern) {
    // As stages A, B and C give when run window by window with each parabola
    // fitted afresh: forming the fit operator once must not change a bit.
    const std::vector<double> out = run_smooth({0, 3, 1, 4, 1, 5, 9, 2, 6});
    EXPECT_EQ(out[0], 0x1.9804da24792dp-4);
    EXPECT_EQ(out[3], 0x1.34b4b32fe9aa6p+1);
    EXPECT_EQ(out[7], 0x1.04744281d761cp+1);
}

TEST(RunSmooth, FailedCallLeavesTheArrayAsItWas) {
    std::vector<double> data{5, -1, 3, NAN, 2, 8, 0, 4};
    const std::vector<double> before = data;
    // A count whose byte size overflows fails before any sample is read.
    EXPECT_EQ(alg_run_smooth(data.data(), std::size_t{1} << 61), ALG_ERR_FAILURE);
    EXPECT_STREQ(get_last_error(), "bad array new length");
    EXPECT_EQ(std::memcmp(data.data(), before.data(), 8 * sizeof(double)), 0);
}

}  // namespace
