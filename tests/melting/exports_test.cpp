// alg_melting and alg_melting_normalization through the C interface,
// including three real melting curves.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "QuelmarAlg.h"
#include "gbk.h"

namespace {

using quelmar_test::gbk;

const double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Melt {
    int code = -1;
    std::vector<double> grid;
    std::vector<double> derivative;
};

// Runs alg_melting, copies what it hands out and gives the blocks back.
// On failure checks that the out-parameters were left alone.
Melt melt(const std::vector<double>& t, const std::vector<double>& f) {
    double sentinel[1] = {0};
    size_t count = 777;
    double* grid = sentinel;
    double* derivative = sentinel;
    Melt m;
    m.code = alg_melting(t.size(), t.data(), f.data(), &count, &grid, &derivative);
    if (m.code != ALG_OK) {
        EXPECT_EQ(count, 777u);
        EXPECT_EQ(grid, sentinel);
        EXPECT_EQ(derivative, sentinel);
        return m;
    }
    EXPECT_NE(grid, nullptr);
    EXPECT_NE(derivative, nullptr);
    m.grid.assign(grid, grid + count);
    m.derivative.assign(derivative, derivative + count);
    EXPECT_EQ(alg_darray_release(&grid), ALG_OK);
    EXPECT_EQ(alg_darray_release(&derivative), ALG_OK);
    EXPECT_EQ(grid, nullptr);
    return m;
}

std::vector<double> steps(double start, double step, std::size_t n) {
    std::vector<double> t(n);
    for (std::size_t i = 0; i < n; ++i) t[i] = start + step * static_cast<double>(i);
    return t;
}

// A sigmoid melt centred at `mid`, for curves whose shape does not matter.
std::vector<double> melt_curve(const std::vector<double>& t, double mid) {
    std::vector<double> f;
    for (double v : t) f.push_back(1000 / (1 + std::exp(v - mid)) + 50);
    return f;
}

void expect_refused(const std::vector<double>& t, const char* utf8_message) {
    const Melt m = melt(t, melt_curve(t, t[t.size() / 2]));
    EXPECT_EQ(m.code, ALG_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(std::string(get_last_error()), gbk(utf8_message));
}

TEST(Melting, GridIsTenTimesFinerAndEndsOnTheLastTemperature) {
    const std::vector<double> t = steps(65.3, 0.5, 11);
    const Melt m = melt(t, melt_curve(t, 68));
    ASSERT_EQ(m.code, ALG_OK);
    ASSERT_EQ(m.grid.size(), 101u);
    EXPECT_EQ(m.grid[0], t[0]);
    EXPECT_EQ(m.grid[100], t[10]);
    EXPECT_NEAR(m.grid[50], 67.8, 1e-12);
    EXPECT_STREQ(get_last_error(), "");
}

TEST(Melting, SixReadingsOneDegreeApartSuffice) {
    const std::vector<double> t = steps(70, 1, 6);
    const Melt m = melt(t, melt_curve(t, 72.5));
    ASSERT_EQ(m.code, ALG_OK);
    EXPECT_EQ(m.grid.size(), 51u);
}

TEST(Melting, RefusesCurvesTooShortForTheStartCorrection) {
    // 0.5 degree steps need 11 readings: 91 grid points do not cover the
    // 100 points of the first five degrees.
    expect_refused(steps(60, 0.5, 10), "F参数数据长度不能过小。");
    expect_refused(steps(80, -0.5, 20), "F参数数据长度不能过小。");
    std::vector<double> t = steps(60, 0.5, 20);
    t[3] = t[2];
    expect_refused(t, "F参数数据长度不能过小。");
    t[3] = kNaN;
    expect_refused(t, "F参数数据长度不能过小。");
}

TEST(Melting, RefusesFewerThanFourTemperatures) {
    expect_refused(steps(60, 0.5, 3), "温度数据不能小于4个。");
}

TEST(Melting, RefusesFourOrFiveReadings) {
    // With 2-degree steps the start correction would accept them; the
    // smoothing filter needs six readings.
    expect_refused(steps(60, 2, 4), "F参数数据长度不能过小。");
    expect_refused(steps(60, 2, 5), "F参数数据长度不能过小。");
}

TEST(Melting, HugeCountFailsBeforeAnyWork) {
    const double t[1] = {0};
    double* grid = nullptr;
    double* derivative = nullptr;
    size_t count = 5;
    EXPECT_EQ(alg_melting(size_t{1} << 61, t, t, &count, &grid, &derivative), ALG_ERR_FAILURE);
    EXPECT_STREQ(get_last_error(), "bad array new length");
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(grid, nullptr);
}

TEST(Melting, OddTemperaturesGiveNumbersNotErrors) {
    // Unsorted or non-finite temperatures away from the step at positions 2
    // and 3 are not checked; the call succeeds with whatever values result.
    std::vector<double> t = steps(60, 0.5, 30);
    std::swap(t[10], t[11]);
    EXPECT_EQ(melt(t, melt_curve(t, 67)).code, ALG_OK);
    t = steps(60, 0.5, 30);
    t[0] = kNaN;
    t[20] = kNaN;
    EXPECT_EQ(melt(t, melt_curve(steps(60, 0.5, 30), 67)).code, ALG_OK);
    // An infinite step leaves no points to correct (k = 0).
    t = steps(60, 0.5, 30);
    t[3] = std::numeric_limits<double>::infinity();
    EXPECT_EQ(melt(t, melt_curve(steps(60, 0.5, 30), 67)).code, ALG_OK);
}

TEST(Melting, LinearMeltGivesItsSlopeTimesTheFilterGain) {
    // F = 1000 - 20 T: -dF/dT = 20, times 1.1^3 = 1.331 for three passes of
    // a kernel summing to 1.1, is 26.62.
    const std::vector<double> t = steps(60, 0.5, 41);
    std::vector<double> f;
    for (double v : t) f.push_back(1000 - 20 * v);
    const Melt m = melt(t, f);
    ASSERT_EQ(m.code, ALG_OK);
    ASSERT_EQ(m.grid.size(), 401u);
    EXPECT_EQ(m.grid[0], 60.0);
    EXPECT_EQ(m.grid[400], 80.0);
    // Steps summed one at a time drift by about 1e-12 until the last point
    // is set to 80.
    for (std::size_t i = 1; i < 401; ++i) EXPECT_NEAR(m.grid[i] - m.grid[i - 1], 0.05, 1e-11);
    // The filter pads bend the filtered readings at both ends; the natural
    // spline carries a bend inwards damped by 2 - sqrt(3) (about 0.27) per
    // reading. From 67 to 72.5 degrees, past the five corrected degrees and
    // their smoothing, it is below 1e-7.
    for (std::size_t i = 140; i <= 250; ++i) EXPECT_NEAR(m.derivative[i], 26.62, 1e-6) << "T = " << m.grid[i];
}

// The melting curves of dyemelt.csv: columns T0, EvaGreen, T1, SybrGreen.I,
// T2, Syto13, each dye with its own temperature column.
std::vector<std::vector<double>> load_dyemelt() {
    std::ifstream in(QUELMARALG_DATA_DIR "/dyemelt.csv");
    std::vector<std::vector<double>> columns(6);
    std::string line;
    std::getline(in, line);  // quoted header
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string field;
        for (auto& column : columns) {
            std::getline(fields, field, ',');
            column.push_back(std::stod(field));
        }
    }
    return columns;
}

// Temperature of the steepest fall of the raw readings, as the chord over
// three readings on either side: single steps of 0.1 degree are too noisy
// for the flattest dye (Syto13), whose largest single-step falls lie at
// 72.7, 77.0 and 82.3 degrees within 10 % of each other.
double steepest_fall(const std::vector<double>& t, const std::vector<double>& f) {
    const std::size_t w = 3;
    double best = -std::numeric_limits<double>::infinity();
    double at = kNaN;
    for (std::size_t i = w; i + w < t.size(); ++i) {
        const double fall = (f[i - w] - f[i + w]) / (t[i + w] - t[i - w]);
        if (fall > best) {
            best = fall;
            at = t[i];
        }
    }
    return at;
}

TEST(Melting, RealDyesPeakWhereTheirFluorescenceFallsFastest) {
    const auto columns = load_dyemelt();
    ASSERT_EQ(columns[0].size(), 165u);
    const char* names[] = {"EvaGreen", "SybrGreen.I", "Syto13"};
    for (int dye = 0; dye < 3; ++dye) {
        const std::vector<double>& t = columns[2 * dye];
        const std::vector<double>& f = columns[2 * dye + 1];
        const Melt m = melt(t, f);
        ASSERT_EQ(m.code, ALG_OK) << names[dye];
        ASSERT_EQ(m.grid.size(), 10 * t.size() - 9);
        EXPECT_EQ(m.grid.front(), t.front());
        EXPECT_EQ(m.grid.back(), t.back()) << names[dye];
        std::size_t peak = 0;
        for (std::size_t i = 1; i < m.derivative.size(); ++i)
            if (m.derivative[i] > m.derivative[peak]) peak = i;
        // The derivative is smoothed over about +-0.4 degree (a moving
        // average of +-30 grid points of 0.0135 degree, after three
        // 7-point filters), like the +-3-reading chord; the products of
        // this assay melt 2.5 degrees or more apart, so 0.5 degree still
        // tells the peaks apart.
        EXPECT_NEAR(m.grid[peak], steepest_fall(t, f), 0.5) << names[dye];
        std::cout << names[dye] << ": derivative peak at " << m.grid[peak] << " degrees, steepest raw fall at "
                  << steepest_fall(t, f) << '\n';
    }
}

TEST(MeltingNormalization, CutsBelowTheThresholdAndLowersTheRest) {
    double v[] = {0, 1, 2, 3, 10};
    ASSERT_EQ(alg_melting_normalization(v, 5), ALG_OK);
    // mean 3.2, population SD sqrt(62.8 / 5) = 3.5440090...
    const double threshold = 0.1 * std::sqrt(12.56) + 0.9 * 3.2;
    EXPECT_EQ(v[0], 0.0);
    EXPECT_EQ(v[3], 0.0);
    EXPECT_NEAR(v[4], 10 - threshold, 1e-12);
    EXPECT_NEAR(v[4], 6.7655991, 1e-7);
}

TEST(MeltingNormalization, NegativeThresholdOnlyClearsNegatives) {
    double v[] = {-5, -4, -3, 1};
    ASSERT_EQ(alg_melting_normalization(v, 4), ALG_OK);
    EXPECT_EQ(std::vector<double>(v, v + 4), (std::vector<double>{0, 0, 0, 1}));
}

TEST(MeltingNormalization, FlatCurveKeepsATenth) {
    double v[] = {1, 1, 1, 1};
    ASSERT_EQ(alg_melting_normalization(v, 4), ALG_OK);
    for (double x : v) EXPECT_EQ(x, 0.09999999999999998);
}

TEST(MeltingNormalization, NaNThresholdOnlyClearsNegatives) {
    double v[] = {kNaN, 2, -1, 5};
    ASSERT_EQ(alg_melting_normalization(v, 4), ALG_OK);
    EXPECT_TRUE(std::isnan(v[0]));
    EXPECT_EQ(v[1], 2.0);
    EXPECT_EQ(v[2], 0.0);
    EXPECT_EQ(v[3], 5.0);
}

TEST(MeltingNormalization, EmptyCurveIsFine) {
    EXPECT_EQ(alg_melting_normalization(nullptr, 0), ALG_OK);
}

}  // namespace
