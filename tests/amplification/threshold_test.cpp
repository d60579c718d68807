// The plate threshold, and the whole amplification run on a real plate.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "QuelmarAlg.h"
#include "amplification/baseline.h"
#include "amplification/curve_primitives.h"
#include "amplification/sigmoid.h"
#include "amplification/threshold.h"
#include "expect_throw.h"
#include "fitting/moving_average.h"
#include "gbk.h"
#include "numeric/vector.h"

namespace {

using quelmar::Vector;
using quelmar_test::gbk;

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::vector<FittingResult> zeroed_records(size_t n) {
    std::vector<FittingResult> records(n);
    std::memset(records.data(), 0, n * sizeof(FittingResult));
    return records;
}

// One synthetic well: a baseline, a logistic rise and a fixed pattern of
// noise (a different phase per well).
struct Well {
    double base, amplitude, midpoint, steepness, noise;
};

std::vector<double> plate_of(const std::vector<Well>& wells, size_t cycles) {
    std::vector<double> data(wells.size() * cycles);
    for (size_t w = 0; w < wells.size(); ++w) {
        const Well& well = wells[w];
        for (size_t i = 0; i < cycles; ++i) {
            const double x = static_cast<double>(i + 1);
            const double pattern = static_cast<double>((i * 7 + w * 3) % 5) - 2.0;
            data[w * cycles + i] = well.base +
                                   well.amplitude / (1.0 + std::exp(-well.steepness * (x - well.midpoint))) +
                                   well.noise * pattern;
        }
    }
    return data;
}

// The three plate levels, recomputed from what the records hold.
struct Levels {
    double noise, step, curve;
};

double fitted_level(const FittingResult& r, size_t cycles) {
    Vector s(cycles);
    for (size_t i = 0; i < cycles; ++i)
        s[i] = r.sigmoid_amplitude /
               (std::exp((static_cast<double>(i + 1) - r.sigmoid_midpoint) * (-r.sigmoid_steepness)) + 1.0);
    Vector d = s;
    quelmar::central_difference(d);
    quelmar::central_difference(d);
    const size_t j = quelmar::argmax(d);
    return j >= 2 ? s[j - 1] : s[1];
}

Levels levels_of(const std::vector<FittingResult>& records, size_t wells, size_t cycles) {
    Levels levels{0.0, 0.0, 0.0};
    double sum_sd = 0.0;
    for (size_t w = 0; w < wells; ++w) {
        sum_sd += records[w].baseline_sd;
        levels.curve = std::max(levels.curve, fitted_level(records[w], cycles));
    }
    for (const FittingResult& r : records) levels.step = std::max(levels.step, r.baseline_step);
    levels.noise = sum_sd / static_cast<double>(wells) * 10.0;
    return levels;
}

TEST(Threshold, EmptyPlateGivesTheLowestThreshold) {
    double threshold = -1.0;
    ASSERT_EQ(alg_calc_threshold(nullptr, 0, nullptr, 0, 45, &threshold), ALG_OK);
    EXPECT_EQ(threshold, 100.0);
    // Records beyond the wells still count with their step.
    std::vector<FittingResult> records = zeroed_records(1);
    records[0].baseline_step = 5000.0;
    ASSERT_EQ(alg_calc_threshold(records.data(), 1, nullptr, 0, 45, &threshold), ALG_OK);
    EXPECT_EQ(threshold, 100.0);
}

TEST(Threshold, FlatWeakCurvesGiveTheLowestThreshold) {
    const size_t wells = 3, cycles = 13;
    const std::vector<double> data(wells * cycles, 100.0);
    std::vector<FittingResult> records = zeroed_records(wells);
    double threshold = -1.0;
    ASSERT_EQ(alg_calc_threshold(records.data(), wells, data.data(), wells, cycles, &threshold), ALG_OK);
    EXPECT_EQ(threshold, 100.0);
    const Levels levels = levels_of(records, wells, cycles);
    EXPECT_EQ(levels.noise, 0.0);
    for (const FittingResult& r : records) EXPECT_EQ(r.low_signal, 1);
}

TEST(Threshold, RefusesFewerRecordsThanWellsBeforeTouchingAny) {
    const size_t wells = 3, cycles = 40;
    const std::vector<double> data =
        plate_of({{1000, 5000, 22, 0.5, 0}, {1000, 5000, 23, 0.5, 0}, {1000, 5000, 24, 0.5, 0}}, cycles);
    std::vector<FittingResult> records(wells);
    std::memset(records.data(), 0xA5, wells * sizeof(FittingResult));
    const std::vector<FittingResult> before = records;
    double threshold = -1.0;
    EXPECT_EQ(alg_calc_threshold(records.data(), wells - 1, data.data(), wells, cycles, &threshold),
              ALG_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(std::string(get_last_error()), gbk("输入参数错误。"));
    EXPECT_EQ(std::memcmp(records.data(), before.data(), wells * sizeof(FittingResult)), 0);
    EXPECT_EQ(threshold, -1.0);
}

TEST(Threshold, InternalCallRefusesAPlateOfTheWrongLength) {
    std::vector<FittingResult> records = zeroed_records(2);
    EXPECT_THROW_MSG(quelmar::calc_threshold(records.data(), 2, Vector(79, 100.0), 2, 40), std::invalid_argument,
                     "长度必需为 cycleCount * wellCount");
    EXPECT_THROW_MSG(quelmar::calc_threshold(records.data(), 1, Vector(80, 100.0), 2, 40), std::invalid_argument,
                     "输入参数错误。");
    EXPECT_EQ(records[0].baseline_start, 0);
}

TEST(Threshold, WindowOutsideTheCurveStopsAtThatWell) {
    const size_t wells = 3, cycles = 40;
    const std::vector<double> data =
        plate_of({{1000, 5000, 22, 0.5, 0}, {1000, 5000, 23, 0.5, 0}, {1000, 5000, 24, 0.5, 0}}, cycles);
    std::vector<FittingResult> records = zeroed_records(wells);
    records[1].baseline_end = 45;  // past the last of 40 cycles
    double threshold = -1.0;
    EXPECT_EQ(alg_calc_threshold(records.data(), wells, data.data(), wells, cycles, &threshold), ALG_ERR_OUT_OF_RANGE);
    EXPECT_EQ(std::string(get_last_error()), gbk("end下标越界。"));
    EXPECT_EQ(threshold, -1.0);
    EXPECT_NE(records[0].sigmoid_amplitude, 0.0);  // the well before keeps its fit
    EXPECT_EQ(records[1].sigmoid_amplitude, 0.0);
    EXPECT_EQ(records[2].baseline_start, 0);  // the well after is untouched
}

TEST(Threshold, NotANumberReadingEndsInTheSingularFit) {
    const size_t cycles = 40;
    std::vector<double> data = plate_of({{1000, 5000, 22, 0.5, 0}}, cycles);
    for (double& v : data) v = std::nan("");
    std::vector<FittingResult> records = zeroed_records(1);
    double threshold = -1.0;
    EXPECT_EQ(alg_calc_threshold(records.data(), 1, data.data(), 1, cycles, &threshold), ALG_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(std::string(get_last_error()), gbk("矩阵列数与列向量长度不同，不能进行矩阵左乘！"));
    EXPECT_EQ(threshold, -1.0);
}

// Plates on which each of the three levels is the smallest, all above 100.
enum class Smallest { kNoise, kStep, kCurve };

struct PlateCase {
    const char* name;
    std::vector<Well> wells;
    Smallest smallest;
};

class SmallestLevel : public ::testing::TestWithParam<PlateCase> {};

TEST_P(SmallestLevel, IsTheThresholdExactly) {
    const PlateCase& c = GetParam();
    const size_t wells = c.wells.size(), cycles = 40;
    const std::vector<double> data = plate_of(c.wells, cycles);
    std::vector<FittingResult> records = zeroed_records(wells);
    double threshold = -1.0;
    ASSERT_EQ(alg_calc_threshold(records.data(), wells, data.data(), wells, cycles, &threshold), ALG_OK);

    const Levels levels = levels_of(records, wells, cycles);
    EXPECT_GT(std::min({levels.noise, levels.step, levels.curve}), 100.0);
    switch (c.smallest) {
        case Smallest::kNoise:
            EXPECT_LT(levels.noise, std::min(levels.step, levels.curve));
            EXPECT_TRUE(same_bits(threshold, levels.noise));
            break;
        case Smallest::kStep:
            EXPECT_LT(levels.step, std::min(levels.noise, levels.curve));
            EXPECT_TRUE(same_bits(threshold, levels.step));
            break;
        case Smallest::kCurve:
            EXPECT_LT(levels.curve, std::min(levels.noise, levels.step));
            EXPECT_TRUE(same_bits(threshold, levels.curve));
            break;
    }

    // Each record holds the fit of its curve conditioned as the linear Ct
    // conditions it: smoothed over +-3 readings, baseline-corrected, filtered.
    for (size_t w = 0; w < wells; ++w) {
        Vector curve = Vector::copy_of(&data[w * cycles], cycles);
        quelmar::moving_average(curve, 3);
        FittingResult fresh;
        std::memset(&fresh, 0, sizeof fresh);
        quelmar::condition_curve(fresh, curve);
        const quelmar::SigmoidParams fit = quelmar::fit_sigmoid(curve);
        EXPECT_TRUE(same_bits(records[w].sigmoid_amplitude, fit.amplitude)) << w;
        EXPECT_TRUE(same_bits(records[w].sigmoid_midpoint, fit.midpoint)) << w;
        EXPECT_TRUE(same_bits(records[w].sigmoid_steepness, fit.steepness)) << w;
        EXPECT_TRUE(same_bits(records[w].baseline_sd, fresh.baseline_sd)) << w;
        EXPECT_EQ(records[w].baseline_end, fresh.baseline_end) << w;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Plates, SmallestLevel,
    ::testing::Values(
        // Steep curves over a noisy baseline.
        PlateCase{"noise",
                  {{1000, 50000, 28, 2.5, 60}, {1000, 50000, 29, 2.5, 60}, {1000, 50000, 30, 2.5, 60}},
                  Smallest::kNoise},
        // Gentle curves whose rise already reaches into the baseline window.
        PlateCase{
            "step", {{1000, 5000, 22, 0.5, 0}, {1000, 5000, 23, 0.5, 0}, {1000, 5000, 24, 0.5, 0}}, Smallest::kStep},
        // A modest curve beside a high background that rises by too little
        // to count as growth, but by a large step.
        PlateCase{"curve", {{1000, 3000, 24, 0.6, 30}, {1000000, 10000, 24, 0.5, 0}}, Smallest::kCurve}),
    [](const ::testing::TestParamInfo<PlateCase>& info) { return std::string(info.param.name); });

TEST(Threshold, ReadsTheStepOfEveryRecordItIsGiven) {
    const size_t wells = 3, cycles = 40;
    const std::vector<double> data =
        plate_of({{1000, 5000, 22, 0.5, 0}, {1000, 5000, 23, 0.5, 0}, {1000, 5000, 24, 0.5, 0}}, cycles);
    std::vector<FittingResult> records = zeroed_records(wells + 1);
    records[wells].baseline_step = 400.0;  // above the wells' steps, below the other two levels
    double threshold = -1.0;
    ASSERT_EQ(alg_calc_threshold(records.data(), wells + 1, data.data(), wells, cycles, &threshold), ALG_OK);
    EXPECT_EQ(threshold, 400.0);
    EXPECT_EQ(records[wells].sigmoid_amplitude, 0.0);  // read, never written
    EXPECT_EQ(records[wells].baseline_start, 0);
}

// The bundled real plate: 379 replicate reactions of one assay, 45 cycles.
struct CsvPlate {
    size_t cycles = 0;
    size_t wells = 0;
    std::vector<double> data;  // well after well
};

CsvPlate read_plate(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    CsvPlate plate;
    plate.wells = static_cast<size_t>(std::count(line.begin(), line.end(), ','));
    std::vector<std::vector<double>> rows;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        std::stringstream fields(line);
        std::string field;
        std::vector<double> row;
        std::getline(fields, field, ',');  // the cycle number
        while (std::getline(fields, field, ',')) row.push_back(std::stod(field));
        rows.push_back(row);
    }
    plate.cycles = rows.size();
    plate.data.resize(plate.cycles * plate.wells);
    for (size_t c = 0; c < plate.cycles; ++c)
        for (size_t w = 0; w < plate.wells && w < rows[c].size(); ++w) plate.data[w * plate.cycles + c] = rows[c][w];
    return plate;
}

TEST(AmplificationRun, EveryWellOfTheRealPlateGetsBothCts) {
    const CsvPlate plate = read_plate(QUELMARALG_DATA_DIR "/reps384.csv");
    ASSERT_EQ(plate.wells, 379u);
    ASSERT_EQ(plate.cycles, 45u);
    std::vector<FittingResult> records = zeroed_records(plate.wells);
    double threshold = 0.0;
    ASSERT_EQ(alg_calc_threshold(records.data(), plate.wells, plate.data.data(), plate.wells, plate.cycles, &threshold),
              ALG_OK);
    const Levels levels = levels_of(records, plate.wells, plate.cycles);
    EXPECT_TRUE(same_bits(threshold, std::max(100.0, std::min({levels.noise, levels.step, levels.curve}))));

    std::vector<double> curves(plate.wells * plate.cycles);
    std::vector<double> linear(plate.wells);
    std::vector<double> sigmoid(plate.wells);
    ASSERT_EQ(alg_linear_batch_calc_ct(records.data(), plate.wells, threshold, plate.data.data(), plate.wells,
                                       plate.cycles, curves.data(), linear.data()),
              ALG_OK);
    ASSERT_EQ(alg_sigmoid_batch_calc_ct(records.data(), plate.wells, plate.cycles, sigmoid.data()), ALG_OK);
    for (size_t w = 0; w < plate.wells; ++w) {
        ASSERT_TRUE(std::isfinite(linear[w])) << w;
        ASSERT_TRUE(std::isfinite(sigmoid[w])) << w;
        // Replicates of one assay: both Cts lie mid-run and within a few
        // cycles of each other.
        EXPECT_GT(linear[w], 10.0) << w;
        EXPECT_LT(linear[w], 30.0) << w;
        EXPECT_LT(std::fabs(sigmoid[w] - linear[w]), 3.0) << w;
        EXPECT_EQ(records[w].low_signal, 0) << w;
        EXPECT_EQ(records[w].no_growth, 0) << w;
    }
}

}  // namespace
