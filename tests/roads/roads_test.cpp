// The roads on the bundled real data, the amplification analysis of a plate
// and the melting analysis of three dyes, and the order of the Student-t
// table. (Worked values, references and pinned bits are in tests/cases.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "QuelmarAlg.h"
#include "csv_columns.h"

namespace {

using V = std::vector<double>;

// The bundled plate: 379 replicate reactions of one assay over 45 cycles.
TEST(RealPlate, AmplificationRoad) {
    const auto columns = quelmar_test::read_csv_columns(QUELMARALG_DATA_DIR "/reps384.csv");
    const std::size_t wells = columns.size() - 1, cycles = columns[0].size();
    ASSERT_TRUE(wells == 379 && cycles == 45);
    V data, curves(cycles * wells), at1500(wells), linear(wells), sigmoid(wells);
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

// The heights, centres and widths of a set, which is released.
std::vector<V> release_peaks(GaussCoeff* set) {
    std::size_t n[3];
    double* p[3];
    EXPECT_EQ(alg_get_gausscoeff_data(set, &n[0], &p[0], &n[1], &p[1], &n[2], &p[2]), ALG_OK);
    std::vector<V> fields;
    for (int i = 0; i < 3; ++i) fields.emplace_back(p[i], p[i] + n[i]), alg_darray_release(&p[i]);
    alg_gausscoeff_release(&set);
    return fields;
}

// Columns T0, EvaGreen, T1, SybrGreen.I, T2, Syto13 (a 4-plex assay).
TEST(Melting, RealDyesPeakWhereTheirFluorescenceFallsFastest) {
    const auto columns = quelmar_test::read_csv_columns(QUELMARALG_DATA_DIR "/dyemelt.csv");
    ASSERT_TRUE(columns.size() == 6 && columns[5].size() == 165);
    const V products{77.3, 80.1, 82.4, 84.7};  // the maxima of the raw central differences
    for (int dye = 0; dye < 3; ++dye) {
        SCOPED_TRACE(dye);
        const V &t = columns[2 * dye], &f = columns[2 * dye + 1];
        std::size_t n = 0;
        double *g = nullptr, *d = nullptr;
        ASSERT_EQ(alg_melting(t.size(), t.data(), f.data(), &n, &g, &d), ALG_OK);
        const V grid(g, g + n);
        V y(d, d + n);
        alg_darray_release(&g), alg_darray_release(&d);
        EXPECT_EQ(grid.back(), t.back());
        // The steepest fall of the readings over three readings either side
        // (single steps are too noisy for the flattest dye) is where -dF/dT
        // peaks; and, leaving out the start transient, at the midpoint.
        double steepest = -HUGE_VAL, late_steepest = -HUGE_VAL, at = NAN, late_at = NAN;
        for (std::size_t i = 3; i + 3 < t.size(); ++i) {
            const double fall = (f[i - 3] - f[i + 3]) / (t[i + 3] - t[i - 3]);
            if (fall > steepest) steepest = fall, at = t[i];
            if (i >= 5 && fall > late_steepest) late_steepest = fall, late_at = (t[i + 3] + t[i - 3]) / 2;
        }
        EXPECT_NEAR(grid[std::max_element(y.begin(), y.end()) - y.begin()], at, 0.5);

        // The example program's road: smoothed over +-20 grid points, freed of
        // its background, maxima above a tenth of the curve as the start, the
        // fit, and the peaks of plausible height and width.
        ASSERT_EQ(alg_super_smooth(y.data(), y.size(), 20), ALG_OK);
        ASSERT_EQ(alg_melting_normalization(y.data(), y.size()), ALG_OK);
        const double top = *std::max_element(y.begin(), y.end());
        const MgfOptions options{0, 0, 0.5, 0, 0};
        const double start_limits[] = {0.1 * top, HUGE_VAL, 0.0}, peak_limits[] = {0.1 * top, 5.0, 0.3};
        MgfHandle* handle = nullptr;
        GaussCoeff *maxima = nullptr, *start = nullptr, *peaks = nullptr;
        ASSERT_EQ(alg_mgf_create(grid.data(), grid.size(), y.data(), y.size(), &options, &handle), ALG_OK);
        ASSERT_EQ(alg_mgf_local_max_value_id(handle, &maxima), ALG_OK);
        ASSERT_EQ(alg_mgf_coeff_filter(start_limits, maxima, &start), ALG_OK);
        ASSERT_EQ(alg_mgf_solve(handle, start), ALG_OK);
        ASSERT_EQ(alg_mgf_coeff_filter(peak_limits, start, &peaks), ALG_OK);
        alg_mgf_release(&handle);
        release_peaks(maxima), release_peaks(start);
        std::vector<V> found = release_peaks(peaks);
        ASSERT_GE(found[1].size(), 1u);
        for (const double centre : found[1]) {
            double nearest = HUGE_VAL;
            for (const double p : products) nearest = std::min(nearest, std::fabs(centre - p));
            EXPECT_LT(nearest, 0.3) << "a fitted peak at " << centre << " is no product";
        }
        // The tallest peak sits where the readings fall fastest and clearly
        // stands above the others.
        V& heights = found[0];
        EXPECT_NEAR(found[1][std::max_element(heights.begin(), heights.end()) - heights.begin()], late_at, 0.25);
        std::sort(heights.begin(), heights.end());
        EXPECT_TRUE(heights.size() == 1 || heights.back() > 1.2 * heights[heights.size() - 2]);
    }
}

// The upper bound of RQ 1 with an se factor of 2 from N values at confidence
// level c: 2^t for N - 2 degrees of freedom (the published rows are cases).
double two_to_t(double n, int32_t level) {
    const RqOptions options{2, 2, 1, level, 0};
    const double summary[] = {1, 0, 2, n};
    double result[7];
    EXPECT_EQ(alg_calc_rq(&options.dataKind, summary, 4, 1, result), ALG_OK);
    return result[5];
}

// A shifted, swapped or mistyped generated row breaks the order of the table.
TEST(TTable, GrowsWithConfidenceAndShrinksWithDegreesOfFreedom) {
    for (int n = 4; n <= 97; ++n)
        for (int c = 0; c < 6; ++c) {
            const double t = two_to_t(n, c);
            EXPECT_GT(t, std::pow(2.0, 1.959963984540054)) << n << "," << c;  // the normal limit at 95 %
            EXPECT_TRUE(c == 0 || t > two_to_t(n, c - 1)) << n << "," << c;
            EXPECT_TRUE(n == 4 || t < two_to_t(n - 1, c)) << n << "," << c;
        }
}

}  // namespace
