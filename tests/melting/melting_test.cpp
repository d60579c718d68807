// The melting road on the bundled dye melting curves: derivative, smoothing,
// background, peak detection, fit and filter.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "QuelmarAlg.h"
#include "csv_columns.h"

namespace {

using V = std::vector<double>;

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

}  // namespace
