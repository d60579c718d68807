// Worked values of the amplification routines, and the amplification road on
// the bundled real plate.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "QuelmarAlg.h"
#include "amplification/baseline.h"
#include "amplification/linear_ct.h"
#include "amplification/sigmoid.h"
#include "csv_columns.h"
#include "curves/curve_primitives.h"

namespace {

using quelmar::Vector;
using V = std::vector<double>;

Vector vec(const V& v) { return Vector::copy_of(v.data(), v.size()); }
V values(const Vector& v) { return V(v.begin(), v.end()); }

TEST(CurvePrimitives, HandWorkedValues) {
    // 0..9: left pad max(1, 0.5) = 1, right pad max(9, (6 + 7) / 2) = 9.
    Vector rising = vec({0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    quelmar::weighted_kernel_filter(quelmar::amplification_kernel(), rising);
    for (auto [i, want] : {std::pair{0, 0.9}, {2, 1.05}, {8, 7.0}, {9, 7.85}}) EXPECT_NEAR(rising[i], want, 1e-12) << i;
    // 9..0: the right pad is the mean of the two readings before the last two.
    Vector falling = vec({9, 8, 7, 6, 5, 4, 3, 2, 1, 0});
    quelmar::weighted_kernel_filter(quelmar::amplification_kernel(), falling);
    EXPECT_NEAR(falling[0], 0.45 * 8.5 + 0.25 * 8.5 + 0.15 * 9 + 0.1 * 8 + 0.05 * 7, 1e-12);
    EXPECT_NEAR(falling[9], 0.45 * 2 + 0.25 * 1 + 0.15 * 0 + 0.1 * 2.5 + 0.05 * 2.5, 1e-12);
    Vector constant(12, 1234.5);
    quelmar::weighted_kernel_filter(quelmar::amplification_kernel(), constant);
    for (double x : constant) EXPECT_DOUBLE_EQ(x, 1234.5);

    Vector v = vec({1, 4, 9, 16});
    quelmar::central_difference(v);
    EXPECT_EQ(values(v), (V{4, 4, 6, 6}));
    EXPECT_EQ(quelmar::argmax(vec({1, 3, 3, 2})), 1u);  // the first of equals
    EXPECT_EQ(quelmar::argmin(vec({2, 1, 1, 5})), 1u);
    EXPECT_EQ(quelmar::argmax(vec({1, NAN, 0.5, 2})), 3u);  // a NaN never wins after the start
    EXPECT_EQ(quelmar::argmin(vec({NAN, -5, -7})), 0u);   // nor does anything beat a leading one
}

TEST(CrossingCt, HandWorkedSegments) {
    // 0.01, ..., 100 at index 14, 300 from index 15: slope 200, intercept -2900.
    Vector y(20, 0.01);
    y[14] = 100.0;
    for (std::size_t i = 15; i < 20; ++i) y[i] = 300.0;
    double ratio = -1.0;
    EXPECT_EQ(quelmar::crossing_ct(y, 200.0, ratio), 15.5);
    EXPECT_EQ(ratio, 3.0);
    // The first reading above the threshold: segment 0..1, a Ct below cycle 1.
    EXPECT_DOUBLE_EQ(quelmar::crossing_ct(vec({50, 150, 250, 350}), 40.0, ratio), 0.9);
    // The last reading below 150: the curve is read at its start, segment 1..2.
    EXPECT_EQ(quelmar::crossing_ct(vec({0, 100, 300, 500, 200, 100}), 150.0, ratio), 2.25);
    EXPECT_TRUE(std::isnan(quelmar::crossing_ct(vec({50, 50, 60}), 40.0, ratio)));  // a flat segment
    EXPECT_EQ(ratio, 1.0);
}

TEST(CorrectBaseline, FlatCurveBecomesARampToOne) {
    quelmar::WellRecord r;
    Vector w(15, 100.0);
    quelmar::correct_baseline(r, w);
    EXPECT_TRUE(r.baseline_start == 3 && r.baseline_end == 8 && r.low_signal == 1 && r.no_growth == 1);
    for (std::size_t i = 0; i <= 8; ++i) EXPECT_NEAR(w[i], std::exp((double(i) - 9.0) * 0.69314), 1e-15) << i;
    for (std::size_t i = 9; i < 15; ++i) EXPECT_EQ(w[i], 1.0) << i;
}

TEST(CorrectBaseline, FallingBaselineIsRebuiltFromItsMinimum) {
    // Falls by 10 per cycle to its minimum 800 at index 20, then rises as
    // 800 + 100 (i - 20)^2; the host window ends on the last reading.
    Vector y0(30);
    for (int i = 0; i < 30; ++i) y0[i] = i <= 20 ? 1000.0 - 10.0 * i : 800.0 + 100.0 * (i - 20) * (i - 20);
    quelmar::WellRecord r;
    r.baseline_start = 3;
    r.baseline_end = 29;
    Vector w = y0;
    quelmar::correct_baseline(r, w);
    EXPECT_EQ(r.baseline_end, 20);
    // E = 22, so the step compares y0[22] - y0[21] = 300 with y0[21] - y0[20].
    EXPECT_EQ(r.baseline_step, 300.0);
    // y0 - 800, 0.01 before the minimum, less the mean of its first 22 values.
    double sum = 0.0;
    for (int i = 0; i < 20; ++i) sum += 0.01;
    const double level = (sum + 0.0 + 100.0) / 22.0;
    for (std::size_t i = 21; i < 30; ++i) EXPECT_EQ(w[i], (y0[i] - 800.0) - level) << i;
    // The ramp: w0 from the reading after it, then exp(i k) w0.
    EXPECT_EQ(w[0], w[21] * std::exp(-21 * 0.69314));
    for (std::size_t i = 1; i <= 20; ++i) EXPECT_EQ(w[i], std::exp(double(i) * 0.69314) * w[0]) << i;
}

TEST(FitSigmoid, RecoversAnExactLogistic) {
    Vector y(40);
    for (std::size_t i = 0; i < 40; ++i) y[i] = 2000.0 / (std::exp((double(i + 1) - 22.0) * -0.6) + 1.0);
    const quelmar::LogisticParams p = quelmar::fit_sigmoid(y);
    EXPECT_NEAR(p.amplitude, 2000.0, 2000.0 * 1e-9);
    EXPECT_NEAR(p.midpoint, 22.0, 22.0 * 1e-9);
    EXPECT_NEAR(p.steepness, 0.6, 0.6 * 1e-9);
}

// The bundled plate: 379 replicate reactions of one assay over 45 cycles.
TEST(RealPlate, AmplificationRoad) {
    const auto columns = quelmar_test::read_csv_columns(QUELMARALG_DATA_DIR "/reps384.csv");
    const std::size_t wells = columns.size() - 1, cycles = columns[0].size();
    ASSERT_TRUE(wells == 379 && cycles == 45);
    V data;
    for (std::size_t w = 1; w <= wells; ++w) data.insert(data.end(), columns[w].begin(), columns[w].end());
    std::vector<FittingResult> records(wells, FittingResult{});
    V curves(cycles * wells), at1500(wells), linear(wells), sigmoid(wells);
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
    for (double v : at1500) squares += (v - mean) * (v - mean);
    for (double v : at1500) EXPECT_LT(std::fabs(v - mean), 2.0);
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
