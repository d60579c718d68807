// The plate threshold, and the amplification road on the bundled real plate.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "QuelmarAlg.h"
#include "amplification/threshold.h"
#include "csv_columns.h"
#include "expect_throw.h"
#include "gbk.h"
#include "numeric/vector.h"

namespace {

using quelmar_test::gbk;

std::vector<FittingResult> zeroed_records(std::size_t n) {
    std::vector<FittingResult> records(n);
    std::memset(records.data(), 0, n * sizeof(FittingResult));
    return records;
}

// Synthetic wells of 40 cycles: a baseline, a logistic rise and a fixed
// pattern of noise (a different phase per well).
struct Well {
    double base, amplitude, midpoint, steepness, noise;
};

constexpr std::size_t kCycles = 40;

std::vector<double> plate_of(const std::vector<Well>& wells) {
    std::vector<double> data(wells.size() * kCycles);
    for (std::size_t w = 0; w < wells.size(); ++w)
        for (std::size_t i = 0; i < kCycles; ++i) {
            const Well& x = wells[w];
            const double cycle = static_cast<double>(i + 1);
            const double rise = x.amplitude / (1.0 + std::exp(-x.steepness * (cycle - x.midpoint)));
            data[w * kCycles + i] = x.base + rise + x.noise * (static_cast<double>((i * 7 + w * 3) % 5) - 2.0);
        }
    return data;
}

// Gentle curves whose rise already reaches into the baseline window.
const std::vector<double> kGentle =
    plate_of({{1000, 5000, 22, 0.5, 0}, {1000, 5000, 23, 0.5, 0}, {1000, 5000, 24, 0.5, 0}});

// The two plate levels that the records hold directly.
double noise_level(const std::vector<FittingResult>& records, std::size_t wells) {
    double sum = 0.0;
    for (std::size_t w = 0; w < wells; ++w) sum += records[w].baseline_sd;
    return sum / static_cast<double>(wells) * 10.0;
}

double step_level(const std::vector<FittingResult>& records) {
    double step = 0.0;
    for (const FittingResult& r : records) step = std::max(step, r.baseline_step);
    return step;
}

TEST(Threshold, EmptyAndFlatPlatesGiveTheLowestThreshold) {
    double threshold = -1.0;
    ASSERT_EQ(alg_calc_threshold(nullptr, 0, nullptr, 0, 45, &threshold), ALG_OK);
    EXPECT_EQ(threshold, 100.0);
    const std::vector<double> flat(3 * 13, 100.0);
    std::vector<FittingResult> records = zeroed_records(3);
    threshold = -1.0;
    ASSERT_EQ(alg_calc_threshold(records.data(), 3, flat.data(), 3, 13, &threshold), ALG_OK);
    EXPECT_EQ(threshold, 100.0);
    EXPECT_EQ(noise_level(records, 3), 0.0);
    for (const FittingResult& r : records) EXPECT_EQ(r.low_signal, 1);
}

TEST(Threshold, IsTheSmallestOfTheThreeLevelsExactly) {
    // Steep curves over a noisy baseline: ten times the mean baseline noise.
    std::vector<FittingResult> records = zeroed_records(3);
    double threshold = -1.0;
    const std::vector<double> steep =
        plate_of({{1000, 50000, 28, 2.5, 60}, {1000, 50000, 29, 2.5, 60}, {1000, 50000, 30, 2.5, 60}});
    ASSERT_EQ(alg_calc_threshold(records.data(), 3, steep.data(), 3, kCycles, &threshold), ALG_OK);
    EXPECT_GT(threshold, 100.0);
    EXPECT_EQ(threshold, noise_level(records, 3));
    EXPECT_LT(threshold, step_level(records));

    // Gentle curves: the largest step, also of a record past the wells.
    records = zeroed_records(3);
    ASSERT_EQ(alg_calc_threshold(records.data(), 3, kGentle.data(), 3, kCycles, &threshold), ALG_OK);
    EXPECT_GT(threshold, 100.0);
    EXPECT_EQ(threshold, step_level(records));
    EXPECT_LT(threshold, noise_level(records, 3));
    records = zeroed_records(4);
    records[3].baseline_step = 400.0;  // above the wells' steps, below the other two levels
    ASSERT_EQ(alg_calc_threshold(records.data(), 4, kGentle.data(), 3, kCycles, &threshold), ALG_OK);
    EXPECT_EQ(threshold, 400.0);
    EXPECT_EQ(records[3].sigmoid_amplitude, 0.0);  // read, never written

    // A modest curve beside a high background that rises by too little to
    // count as growth, but by a large step: the fitted curve's level one cycle
    // before its sharpest upward bend, x0 - ln(2 + sqrt 3) / k.
    records = zeroed_records(2);
    const std::vector<double> mixed = plate_of({{1000, 3000, 24, 0.6, 30}, {1e6, 10000, 24, 0.5, 0}});
    ASSERT_EQ(alg_calc_threshold(records.data(), 2, mixed.data(), 2, kCycles, &threshold), ALG_OK);
    EXPECT_LT(threshold, std::min(noise_level(records, 2), step_level(records)));
    const FittingResult& r = records[0];
    const double params[] = {r.sigmoid_amplitude, r.sigmoid_midpoint, r.sigmoid_steepness};
    double level = std::round(r.sigmoid_midpoint - std::log(std::sqrt(3.0) + 2.0) / r.sigmoid_steepness) - 1.0;
    ASSERT_EQ(alg_sigmoid(params, &level, 1), ALG_OK);
    EXPECT_EQ(threshold, level);
    // Pinned bits: smoothing, correction, filter, fit and level in their order.
    EXPECT_EQ(threshold, 0x1.67615849a1017p+8);  // 359.380...
}

TEST(Threshold, Failures) {
    // Fewer records than wells: refused before any record is touched.
    std::vector<FittingResult> records(3);
    std::memset(records.data(), 0xA5, 3 * sizeof(FittingResult));
    const std::vector<FittingResult> before = records;
    double threshold = -1.0;
    EXPECT_EQ(alg_calc_threshold(records.data(), 2, kGentle.data(), 3, kCycles, &threshold), ALG_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(std::string(get_last_error()), gbk("输入参数错误。"));
    EXPECT_EQ(std::memcmp(records.data(), before.data(), 3 * sizeof(FittingResult)), 0);
    EXPECT_THROW_MSG(quelmar::calc_threshold(records.data(), 2, quelmar::Vector(79, 100.0), 2, 40),
                     std::invalid_argument, "长度必需为 cycleCount * wellCount");

    // A window past the curve stops at its well; the wells before keep
    // their fits.
    records = zeroed_records(3);
    records[1].baseline_end = 45;
    EXPECT_EQ(alg_calc_threshold(records.data(), 3, kGentle.data(), 3, kCycles, &threshold), ALG_ERR_OUT_OF_RANGE);
    EXPECT_EQ(std::string(get_last_error()), gbk("end下标越界。"));
    EXPECT_NE(records[0].sigmoid_amplitude, 0.0);
    EXPECT_EQ(records[1].sigmoid_amplitude, 0.0);
    EXPECT_EQ(records[2].baseline_start, 0);

    // Readings that are not numbers make the damped matrix singular.
    const std::vector<double> nan_well(kCycles, std::nan(""));
    records = zeroed_records(1);
    EXPECT_EQ(alg_calc_threshold(records.data(), 1, nan_well.data(), 1, kCycles, &threshold), ALG_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(std::string(get_last_error()), gbk("矩阵列数与列向量长度不同，不能进行矩阵左乘！"));
    EXPECT_EQ(threshold, -1.0);  // never written on failure
}

// The bundled real plate, 379 replicate reactions of one assay over 45
// cycles: a header row, then per cycle its number and one reading per well.
struct Plate {
    std::size_t wells = 0, cycles = 0;
    std::vector<double> data;  // well after well
};

Plate read_real_plate() {
    const auto columns = quelmar_test::read_csv_columns(QUELMARALG_DATA_DIR "/reps384.csv");
    Plate p;
    p.cycles = columns.empty() ? 0 : columns[0].size();
    p.wells = columns.empty() ? 0 : columns.size() - 1;  // column 0 holds the cycle numbers
    for (std::size_t w = 1; w < columns.size(); ++w) p.data.insert(p.data.end(), columns[w].begin(), columns[w].end());
    return p;
}

TEST(RealPlate, AmplificationRoad) {
    const Plate plate = read_real_plate();
    const std::size_t wells = plate.wells, cycles = plate.cycles;
    ASSERT_EQ(wells, 379u);
    ASSERT_EQ(cycles, 45u);
    std::vector<double> curves(cycles * wells), at1500(wells), linear(wells), sigmoid(wells);

    // A threshold chosen by inspection: every baseline ends at cycle 17, and
    // from cycle 20 on the conditioned curves are built from measured readings
    // only, the highest reading 1167 there and the lowest plateau 4684.
    std::vector<FittingResult> records = zeroed_records(wells);
    ASSERT_EQ(alg_linear_batch_calc_ct(records.data(), wells, 1500.0, plate.data.data(), wells, cycles, curves.data(),
                                       at1500.data()),
              ALG_OK);
    for (std::size_t w = 0; w < wells; ++w) {
        ASSERT_TRUE(std::isfinite(at1500[w])) << w;
        EXPECT_GT(at1500[w], 20.0) << w;  // read on measured readings, past the ramp
        EXPECT_EQ(records[w].baseline_end, 16) << w;
        EXPECT_EQ(records[w].low_signal + records[w].no_growth, 0) << w;
    }
    double sum = 0.0, squares = 0.0;
    for (double v : at1500) sum += v;
    const double mean = sum / static_cast<double>(wells);
    for (double v : at1500) squares += (v - mean) * (v - mean);
    EXPECT_NEAR(mean, 21.37, 0.05);
    EXPECT_LT(std::sqrt(squares / static_cast<double>(wells - 1)), 0.5);  // replicates agree closely
    for (double v : at1500) EXPECT_LT(std::fabs(v - mean), 2.0);

    // Once a conditioned curve reaches its plateau (two equal readings) it
    // holds that level, its largest, to the last cycle. About a third of the
    // wells get there; the others still rise in the last cycles.
    std::size_t with_plateau = 0;
    for (std::size_t w = 0; w < wells; ++w) {
        const auto at = [&](std::size_t c) { return curves[c * wells + w]; };
        EXPECT_GT(at(0), 0.0) << w;
        std::size_t p = 0;
        while (p + 1 < cycles && at(p) != at(p + 1)) ++p;
        if (p + 1 == cycles) continue;
        ++with_plateau;
        for (std::size_t c = 0; c < cycles; ++c) ASSERT_TRUE(c < p ? at(c) < at(p) : at(c) == at(p)) << w;
    }
    EXPECT_GE(with_plateau, 100u);

    // The whole road: the plate's threshold (here its largest baseline step),
    // then both Cts for every well, within a few cycles of each other.
    records = zeroed_records(wells);
    double threshold = 0.0;
    ASSERT_EQ(alg_calc_threshold(records.data(), wells, plate.data.data(), wells, cycles, &threshold), ALG_OK);
    EXPECT_EQ(threshold, step_level(records));
    EXPECT_LT(threshold, noise_level(records, wells));
    ASSERT_EQ(alg_linear_batch_calc_ct(records.data(), wells, threshold, plate.data.data(), wells, cycles,
                                       curves.data(), linear.data()),
              ALG_OK);
    ASSERT_EQ(alg_sigmoid_batch_calc_ct(records.data(), wells, cycles, sigmoid.data()), ALG_OK);
    for (std::size_t w = 0; w < wells; ++w) {
        ASSERT_TRUE(std::isfinite(linear[w]) && std::isfinite(sigmoid[w])) << w;
        EXPECT_LT(linear[w], at1500[w]) << w;  // the lower threshold is crossed earlier
        EXPECT_LT(std::fabs(sigmoid[w] - linear[w]), 3.0) << w;
    }
}

}  // namespace
