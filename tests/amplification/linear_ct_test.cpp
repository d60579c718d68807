// Ct by linear interpolation at the threshold crossing, one curve at a time
// and for a whole plate through alg_linear_batch_calc_ct.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "QuelmarAlg.h"
#include "amplification/baseline.h"
#include "amplification/linear_ct.h"
#include "expect_throw.h"
#include "fitting/moving_average.h"
#include "gbk.h"
#include "numeric/matrix.h"
#include "numeric/vector.h"

namespace {

using quelmar::crossing_ct;
using quelmar::Vector;
using quelmar_test::gbk;

Vector vec(std::initializer_list<double> values) { return Vector::copy_of(values.begin(), values.size()); }

FittingResult zeroed() {
    FittingResult r;
    std::memset(&r, 0, sizeof r);
    return r;
}

TEST(CrossingCt, InterpolatesBetweenTheEnclosingReadings) {
    // 0.01 up to index 13, then 100 at index 14 and 300 from index 15 on.
    Vector y(20, 0.01);
    y[14] = 100.0;
    for (std::size_t i = 15; i < 20; ++i) y[i] = 300.0;
    double ratio = -1.0;
    // Segment 14..15: slope 200, intercept 100 - 200 * 15 = -2900.
    EXPECT_EQ(crossing_ct(y, 200.0, ratio), 15.5);
    EXPECT_EQ(ratio, 3.0);
}

TEST(CrossingCt, NoCrossingAtOrAboveTheTop) {
    const Vector y = vec({0.01, 1, 10, 100, 300});
    double ratio = 7.0;
    EXPECT_TRUE(std::isnan(crossing_ct(y, 301.0, ratio)));
    EXPECT_EQ(ratio, 0.0);
    ratio = 7.0;
    EXPECT_TRUE(std::isnan(crossing_ct(y, 300.0, ratio)));
    EXPECT_EQ(ratio, 0.0);
    EXPECT_TRUE(std::isnan(crossing_ct(y, std::nan(""), ratio)));
}

TEST(CrossingCt, FirstReadingAboveTheThresholdUsesTheFirstSegment) {
    double ratio = 0.0;
    // Segment 0..1: slope 100, intercept 150 - 200 = -50: Ct below cycle 1.
    EXPECT_DOUBLE_EQ(crossing_ct(vec({50, 150, 250, 350}), 40.0, ratio), 0.9);
    EXPECT_EQ(ratio, 3.0);
}

TEST(CrossingCt, CurveEndingBelowTheThresholdIsReadAtItsStart) {
    double ratio = 0.0;
    // The last reading is below 150, so the segment 1..2 is used:
    // slope 200, intercept 100 - 400 = -300.
    EXPECT_EQ(crossing_ct(vec({0, 100, 300, 500, 200, 100}), 150.0, ratio), 2.25);
    EXPECT_EQ(ratio, 3.0);
}

TEST(CrossingCt, FlatSegmentGivesNoCtButItsRatio) {
    double ratio = 0.0;
    EXPECT_TRUE(std::isnan(crossing_ct(vec({50, 50, 60}), 40.0, ratio)));
    EXPECT_EQ(ratio, 1.0);
}

TEST(CrossingCt, TooFewReadingsGiveNoCt) {
    double ratio = 7.0;
    EXPECT_TRUE(std::isnan(crossing_ct(vec({1, 500}), 100.0, ratio)));
    EXPECT_EQ(ratio, 0.0);
    EXPECT_TRUE(std::isnan(crossing_ct(vec({500}), 100.0, ratio)));
    EXPECT_TRUE(std::isnan(crossing_ct(Vector(), -1.0, ratio)));
}

// A plate of wells, well after well, with a logistic rise of the given
// height and midpoint in each.
std::vector<double> plate(std::size_t cycles, std::initializer_list<double> midpoints, double height = 5000.0) {
    std::vector<double> data;
    for (double x0 : midpoints)
        for (std::size_t c = 0; c < cycles; ++c)
            data.push_back(200.0 + 2.0 * c + height / (1.0 + std::exp(-0.8 * (static_cast<double>(c + 1) - x0))));
    return data;
}

// Two ten-cycle wells growing from 100 by doubling, the second three times as
// high. Their baseline window is cycles 1 to 3, chosen by the host: the
// default window of such a short plate would take in the whole rise.
std::vector<double> doubling_plate() {
    std::vector<double> data;
    for (double height : {1.0, 3.0})
        for (int c = 0; c < 10; ++c) data.push_back(100.0 + height * std::pow(2.0, c + 4));
    return data;
}

void choose_short_window(FittingResult& r) {
    r.baseline_start = 1;
    r.baseline_end = 2;
}

TEST(LinearBatchCt, TwoWellsTenCyclesComeOutCycleMajor) {
    const std::vector<double> data = doubling_plate();
    FittingResult records[2] = {zeroed(), zeroed()};
    choose_short_window(records[0]);
    choose_short_window(records[1]);
    double curves[20];
    double ct[2];
    ASSERT_EQ(alg_linear_batch_calc_ct(records, 2, 1000.0, data.data(), 2, 10, curves, ct), ALG_OK);

    for (std::size_t w = 0; w < 2; ++w) {
        // The same well on its own: smoothed, conditioned, read at 1000.
        FittingResult expected = zeroed();
        choose_short_window(expected);
        Vector c = Vector::copy_of(data.data() + 10 * w, 10);
        quelmar::moving_average(c, 3);
        quelmar::condition_curve(expected, c);
        const double expected_ct = crossing_ct(c, 1000.0, expected.amplification_ratio);
        EXPECT_EQ(std::memcmp(&records[w], &expected, sizeof expected), 0) << w;
        EXPECT_EQ(ct[w], expected_ct) << w;
        for (std::size_t i = 0; i < 10; ++i) EXPECT_EQ(curves[2 * i + w], c[i]) << w << ' ' << i;
    }
    // The higher well rises three times as high and crosses first.
    EXPECT_NEAR(curves[19], 3.0 * curves[18], 1.0);
    EXPECT_LT(ct[1], ct[0]);
    EXPECT_GT(ct[1], 6.0);
    EXPECT_LT(ct[0], 9.0);
}

TEST(LinearBatchCt, WellWithoutCrossingGetsNaNAndRatioZero) {
    const std::vector<double> data = plate(20, {8.0, 12.0}, 1000.0);
    FittingResult records[2] = {zeroed(), zeroed()};
    records[0].amplification_ratio = 7.0;
    records[1].amplification_ratio = 7.0;
    std::vector<double> curves(40);
    double ct[2];
    ASSERT_EQ(alg_linear_batch_calc_ct(records, 2, 1e6, data.data(), 2, 20, curves.data(), ct), ALG_OK);
    EXPECT_TRUE(std::isnan(ct[0]));
    EXPECT_TRUE(std::isnan(ct[1]));
    EXPECT_EQ(records[0].amplification_ratio, 0.0);
    EXPECT_EQ(records[1].amplification_ratio, 0.0);
}

TEST(LinearBatchCt, FewerRecordsThanWellsAreRefusedBeforeAnyIsTouched) {
    const std::vector<double> data = plate(12, {6.0, 7.0});
    FittingResult records[2];
    std::memset(records, 0xA5, sizeof records);
    FittingResult before[2];
    std::memcpy(before, records, sizeof records);
    double curves[24];
    double ct[2] = {-5.0, -5.0};
    std::memset(curves, 0, sizeof curves);
    EXPECT_EQ(alg_linear_batch_calc_ct(records, 1, 1000.0, data.data(), 2, 12, curves, ct),
              ALG_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(std::string(get_last_error()), gbk("输入参数错误。"));
    EXPECT_EQ(std::memcmp(records, before, sizeof records), 0);
    EXPECT_EQ(ct[0], -5.0);
    EXPECT_EQ(curves[0], 0.0);
}

TEST(LinearBatchCt, WindowWithoutAReadingAfterItFailsAfterTheEarlierWells) {
    const std::vector<double> data = doubling_plate();
    FittingResult records[2] = {zeroed(), zeroed()};
    choose_short_window(records[0]);
    records[1].baseline_end = 9;  // the last cycle index
    double curves[20];
    double ct[2] = {-5.0, -5.0};
    for (double& v : curves) v = -5.0;
    EXPECT_EQ(alg_linear_batch_calc_ct(records, 2, 1000.0, data.data(), 2, 10, curves, ct), ALG_ERR_OUT_OF_RANGE);
    EXPECT_EQ(std::string(get_last_error()), gbk("end下标越界。"));
    // Well 0 was processed before the failure and keeps its results.
    EXPECT_NE(records[0].baseline_sd, 0.0);
    EXPECT_NE(records[0].amplification_ratio, 0.0);
    // Well 1 keeps what its window check wrote, nothing after it.
    EXPECT_EQ(records[1].baseline_start, 3);
    EXPECT_EQ(records[1].baseline_end, 9);
    EXPECT_EQ(records[1].baseline_sd, 0.0);
    // Neither output array is written.
    EXPECT_EQ(ct[0], -5.0);
    EXPECT_EQ(ct[1], -5.0);
    for (double v : curves) EXPECT_EQ(v, -5.0);
}

TEST(LinearBatchCt, DataOfTheWrongLengthIsRefused) {
    const Vector data(19, 100.0);
    FittingResult records[2] = {zeroed(), zeroed()};
    quelmar::Matrix curves;
    EXPECT_THROW_MSG(quelmar::linear_batch_ct(data, records, 2, 1000.0, 2, 10, curves), std::invalid_argument,
                     "长度必需为 cycleCount * wellCount");
}

TEST(LinearBatchCt, EmptyPlateGivesOneZeroPerRecord) {
    FittingResult records[2] = {zeroed(), zeroed()};
    double ct[2] = {-5.0, -5.0};
    double none[1] = {-5.0};
    EXPECT_EQ(alg_linear_batch_calc_ct(records, 2, 1000.0, none, 0, 45, none, ct), ALG_OK);
    EXPECT_EQ(ct[0], 0.0);
    EXPECT_EQ(ct[1], 0.0);
    EXPECT_EQ(none[0], -5.0);
}

// A table of raw fluorescence: a header row of quoted names, then one row per
// cycle whose first column is the cycle number and the others one well each.
struct Table {
    std::size_t cycles = 0;
    std::size_t wells = 0;
    std::vector<double> well_major;  // well after well, as the plate exports take it
};

Table load_plate(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::vector<std::vector<double>> rows;
    if (!std::getline(in, line)) return {};
    while (std::getline(in, line)) {
        if (line.empty() || line == "\r") continue;
        std::stringstream cells(line);
        std::string cell;
        std::vector<double> row;
        while (std::getline(cells, cell, ',')) row.push_back(std::stod(cell));
        rows.push_back(row);
    }
    Table t;
    if (rows.empty()) return t;
    t.cycles = rows.size();
    t.wells = rows[0].size() - 1;
    t.well_major.resize(t.cycles * t.wells);
    for (std::size_t c = 0; c < t.cycles; ++c)
        for (std::size_t w = 0; w < t.wells; ++w) t.well_major[w * t.cycles + c] = rows[c].at(w + 1);
    return t;
}

TEST(LinearBatchCtRealPlate, OneAssayGivesCloseCtValues) {
    const Table plate384 = load_plate(std::string(QUELMARALG_DATA_DIR) + "/reps384.csv");
    ASSERT_EQ(plate384.cycles, 45u);
    ASSERT_EQ(plate384.wells, 379u);
    const std::size_t wells = plate384.wells;
    const std::size_t cycles = plate384.cycles;

    // Every well of this plate gets its baseline ending at cycle 17, and the
    // conditioned curves are a back-filled doubling ramp up to there; after
    // the filter (which leans on the two readings before), readings from
    // cycle 20 on are built from measured fluorescence only. At cycle 20 the
    // highest well reads 1167; the lowest plateau is 4684 (the heights vary
    // about twofold across the plate). 1500 lies above the first and well
    // inside the steep rise of every well, about 14 times the mean baseline
    // standard deviation (105).
    const double threshold = 1500.0;

    std::vector<FittingResult> records(wells, zeroed());
    std::vector<double> curves(cycles * wells);
    std::vector<double> ct(wells);
    ASSERT_EQ(alg_linear_batch_calc_ct(records.data(), wells, threshold, plate384.well_major.data(), wells, cycles,
                                       curves.data(), ct.data()),
              ALG_OK);

    double sum = 0.0;
    for (std::size_t w = 0; w < wells; ++w) {
        ASSERT_TRUE(std::isfinite(ct[w])) << w;
        EXPECT_EQ(records[w].baseline_end, 16) << w;
        EXPECT_GT(ct[w], 20.0) << w;  // read on measured readings, past the ramp
        sum += ct[w];
        // The crossing is read on a rising segment.
        EXPECT_GT(records[w].amplification_ratio, 1.0) << w;
        EXPECT_EQ(records[w].low_signal, 0) << w;
        EXPECT_EQ(records[w].no_growth, 0) << w;
    }
    const double mean = sum / static_cast<double>(wells);
    double squares = 0.0;
    for (double v : ct) squares += (v - mean) * (v - mean);
    const double sd = std::sqrt(squares / static_cast<double>(wells - 1));
    EXPECT_NEAR(mean, 21.37, 0.05);
    EXPECT_LT(sd, 0.5);
    for (double v : ct) EXPECT_LT(std::fabs(v - mean), 2.0);

    // Nothing falls back after the peak. The corrected curve holds its
    // maximum from its first occurrence k to the end; the filter, which reads
    // two readings back, turns that into a conditioned curve that does not
    // decrease from k + 1 and is constant from k + 2. (On this plate a few
    // wells only peak at the last cycles, so the conditioned curves
    // themselves may dip just before their plateau.)
    for (std::size_t w = 0; w < wells; ++w) {
        FittingResult fresh = zeroed();
        Vector corrected = Vector::copy_of(plate384.well_major.data() + w * cycles, cycles);
        quelmar::moving_average(corrected, 3);
        quelmar::correct_baseline(fresh, corrected);
        std::size_t k = 0;
        for (std::size_t c = 1; c < cycles; ++c)
            if (corrected[c] > corrected[k]) k = c;
        for (std::size_t c = k; c < cycles; ++c) ASSERT_EQ(corrected[c], corrected[k]) << w;
        const auto conditioned = [&](std::size_t c) { return curves[c * wells + w]; };
        for (std::size_t c = k + 1; c + 1 < cycles; ++c) ASSERT_GE(conditioned(c + 1), conditioned(c)) << w;
        for (std::size_t c = k + 2; c < cycles; ++c) ASSERT_EQ(conditioned(c), conditioned(k + 2)) << w;
        // Growth starts from a ramp that never goes below zero.
        EXPECT_GT(conditioned(0), 0.0);
    }
}

}  // namespace
