// alg_melting and alg_melting_normalization through the C interface,
// including three real melting curves.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "QuelmarAlg.h"
#include "csv_columns.h"
#include "gbk.h"

namespace {

struct Melt { int code; std::vector<double> grid, derivative; };

// Runs alg_melting and gives the arrays back; a failed call must hand out
// nothing and leave the out-parameters alone.
Melt melt(const std::vector<double>& t, const std::vector<double>& f) {
    double sentinel = 0, *grid = &sentinel, *derivative = &sentinel;
    size_t count = 777;
    Melt m{alg_melting(t.size(), t.data(), f.data(), &count, &grid, &derivative), {}, {}};
    if (m.code != ALG_OK) {
        EXPECT_TRUE(count == 777 && grid == &sentinel && derivative == &sentinel);
        return m;
    }
    m.grid.assign(grid, grid + count);
    m.derivative.assign(derivative, derivative + count);
    EXPECT_EQ(alg_darray_release(&grid), ALG_OK);
    EXPECT_EQ(alg_darray_release(&derivative), ALG_OK);
    return m;
}

std::vector<double> steps(double start, double step, size_t n) {
    std::vector<double> t(n);
    for (size_t i = 0; i < n; ++i) t[i] = start + step * static_cast<double>(i);
    return t;
}

TEST(Melting, RefusesWhatItCannotDifferentiateButNotOddTemperatures) {
    const auto refused = [](const std::vector<double>& t, const char* message) {
        EXPECT_EQ(melt(t, t).code, ALG_ERR_INVALID_ARGUMENT);
        EXPECT_EQ(std::string(get_last_error()), quelmar_test::gbk(message));
    };
    // The start correction would accept 4 or 5 readings 2 degrees apart, but
    // the smoothing filter's pads would read outside them.
    for (size_t n : {3, 4, 5}) refused(steps(60, 2, n), n == 3 ? "温度数据不能小于4个。" : "F参数数据长度不能过小。");
    // 0.5-degree steps: five degrees are 100 grid points; 10 readings give 91.
    refused(steps(60, 0.5, 10), "F参数数据长度不能过小。");
    EXPECT_EQ(melt(steps(60, 0.5, 11), steps(60, 0.5, 11)).code, ALG_OK);
    // Steps at positions 2 and 3 that give no point count: zero, NaN, too
    // small for 32 bits, descending.
    const std::vector<double> even = steps(60, 0.5, 30);
    for (double step : {0.0, std::nan(""), 1e-9, -0.5, -30.0}) {
        std::vector<double> t = even;
        t[3] = t[2] + step;
        refused(t, "F参数数据长度不能过小。");
    }
    // Unsorted, repeated or NaN temperatures elsewhere are not checked, and an
    // infinite step leaves no degrees to correct.
    for (const auto& [i, v] : {std::pair{11, 64.0}, {11, 65.0}, {0, NAN}, {20, NAN}, {3, INFINITY}}) {
        std::vector<double> t = even;
        t[i] = v;
        EXPECT_EQ(melt(t, even).code, ALG_OK) << i << ' ' << v;
    }
}

TEST(Melting, LinearMeltGivesItsSlopeTimesTheFilterGain) {
    // F = 1000 - 20 T on 60..80: -dF/dT = 20, times 1.1^3 for three passes
    // of a kernel summing to 1.1, is 26.62.
    const Melt m = melt(steps(60, 0.5, 41), steps(-200, -10, 41));
    ASSERT_EQ(m.grid.size(), 401u);
    // The filter pads bend the ends, and the spline carries a bend inwards
    // damped by 2 - sqrt(3) per reading: below 1e-7 from 67 to 72.5 degrees.
    for (size_t i = 140; i <= 250; ++i) EXPECT_NEAR(m.derivative[i], 26.62, 1e-6) << "T = " << m.grid[i];
}

size_t argmax(const std::vector<double>& v) {
    return static_cast<size_t>(std::max_element(v.begin(), v.end()) - v.begin());
}

TEST(Melting, RealDyesPeakWhereTheirFluorescenceFallsFastest) {
    // Columns T0, EvaGreen, T1, SybrGreen.I, T2, Syto13 after a quoted header.
    const auto columns = quelmar_test::read_csv_columns(QUELMARALG_DATA_DIR "/dyemelt.csv");
    ASSERT_EQ(columns.size(), 6u);
    ASSERT_EQ(columns[5].size(), 165u);
    for (int dye = 0; dye < 3; ++dye) {
        const std::vector<double>& t = columns[2 * dye];
        const std::vector<double>& f = columns[2 * dye + 1];
        const Melt m = melt(t, f);
        EXPECT_EQ(m.grid.back(), t.back());
        // The fall of the readings over three readings either side (single
        // steps are too noisy for the flattest dye), smoothed over about as
        // many degrees as the derivative; the products melt 2.5 or more apart.
        std::vector<double> fall(t.size(), 0.0);
        for (size_t i = 3; i + 3 < t.size(); ++i) fall[i] = (f[i - 3] - f[i + 3]) / (t[i + 3] - t[i - 3]);
        EXPECT_NEAR(m.grid[argmax(m.derivative)], t[argmax(fall)], 0.5) << "dye " << dye;
    }
}

std::vector<double> normalized(std::vector<double> v) {
    EXPECT_EQ(alg_melting_normalization(v.data(), v.size()), ALG_OK);
    return v;
}

TEST(MeltingNormalization, CutsBelowTheThresholdAndLowersTheRest) {
    // Mean 3.2, population SD sqrt(12.56): the threshold is 3.2344009...
    const std::vector<double> v = normalized({0, 1, 2, 3, 10});
    EXPECT_EQ(std::vector<double>(v.begin(), v.begin() + 4), std::vector<double>(4, 0.0));
    EXPECT_NEAR(v[4], 10 - (0.1 * std::sqrt(12.56) + 2.88), 1e-12);
    EXPECT_EQ(normalized({1, 1, 1, 1}), std::vector<double>(4, 0.09999999999999998));  // 1 - 0.9
    // A threshold at or below zero, or NaN, only clears negative values.
    EXPECT_EQ(normalized({-5, -4, -3, 1}), (std::vector<double>{0, 0, 0, 1}));
    const std::vector<double> with_nan = normalized({NAN, 2, -1, 5});
    EXPECT_TRUE(std::isnan(with_nan[0]) && with_nan[1] == 2 && with_nan[2] == 0 && with_nan[3] == 5);
    EXPECT_EQ(alg_melting_normalization(nullptr, 0), ALG_OK);
}

}  // namespace
