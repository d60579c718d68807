// The amplification road on the bundled real plate (the worked values of the
// routines are cases, tests/cases/worked.txt).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "QuelmarAlg.h"
#include "csv_columns.h"

namespace {

// The bundled plate: 379 replicate reactions of one assay over 45 cycles.
TEST(RealPlate, AmplificationRoad) {
    const auto columns = quelmar_test::read_csv_columns(QUELMARALG_DATA_DIR "/reps384.csv");
    const std::size_t wells = columns.size() - 1, cycles = columns[0].size();
    ASSERT_TRUE(wells == 379 && cycles == 45);
    std::vector<double> data, curves(cycles * wells), at1500(wells), linear(wells), sigmoid(wells);
    for (std::size_t w = 1; w <= wells; ++w) data.insert(data.end(), columns[w].begin(), columns[w].end());
    std::vector<FittingResult> records(wells, FittingResult{});
    const auto at = [&](std::size_t c, std::size_t w) { return curves[c * wells + w]; };

    // A threshold chosen by inspection: every baseline ends at cycle 17, and
    // from cycle 20 on the conditioned curves are built from measured readings.
    ASSERT_EQ(alg_linear_batch_calc_ct(records.data(), wells, 1500.0, data.data(), wells, cycles, curves.data(),
                                       at1500.data()),
              ALG_OK);
    double sum = 0.0, squares = 0.0;
    for (std::size_t w = 0; w < wells; ++w) {
        EXPECT_TRUE(at1500[w] > 20.0 && records[w].baseline_end == 16 && at(0, w) > 0.0) << w;
        EXPECT_EQ(records[w].low_signal + records[w].no_growth, 0) << w;
        sum += at1500[w];
    }
    const double mean = sum / double(wells);
    for (double v : at1500) {
        squares += (v - mean) * (v - mean);
        EXPECT_LT(std::fabs(v - mean), 2.0);
    }
    EXPECT_NEAR(mean, 21.37, 0.05);
    EXPECT_LT(std::sqrt(squares / double(wells - 1)), 0.5);  // replicates agree closely
    // Once a conditioned curve reaches its plateau (two equal readings) it
    // holds that level, its largest; about a third of the wells get there.
    std::size_t with_plateau = 0;
    for (std::size_t w = 0; w < wells; ++w) {
        std::size_t p = 0;
        while (p + 1 < cycles && at(p, w) != at(p + 1, w)) ++p;
        if (p + 1 == cycles) continue;
        ++with_plateau;
        for (std::size_t c = 0; c < cycles; ++c) ASSERT_TRUE(c < p ? at(c, w) < at(p, w) : at(c, w) == at(p, w)) << w;
    }
    EXPECT_GE(with_plateau, 100u);

    // The whole road: the plate's threshold (here its largest baseline step,
    // below the noise level), then both Cts, within a few cycles of each other.
    std::fill(records.begin(), records.end(), FittingResult{});
    double threshold = 0.0, step = 0.0, noise = 0.0;
    ASSERT_EQ(alg_calc_threshold(records.data(), wells, data.data(), wells, cycles, &threshold), ALG_OK);
    for (const FittingResult& r : records) step = std::max(step, r.baseline_step), noise += r.baseline_sd;
    EXPECT_EQ(threshold, step);
    EXPECT_LT(threshold, noise / double(wells) * 10.0);
    ASSERT_EQ(alg_linear_batch_calc_ct(records.data(), wells, threshold, data.data(), wells, cycles, curves.data(),
                                       linear.data()),
              ALG_OK);
    ASSERT_EQ(alg_sigmoid_batch_calc_ct(records.data(), wells, cycles, sigmoid.data()), ALG_OK);
    for (std::size_t w = 0; w < wells; ++w) {
        EXPECT_LT(linear[w], at1500[w]) << w;  // the lower threshold is crossed earlier
        EXPECT_LT(std::fabs(sigmoid[w] - linear[w]), 3.0) << w;
    }
}

}  // namespace
