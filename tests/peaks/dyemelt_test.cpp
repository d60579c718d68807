// The melting road on the bundled dyemelt curves (a 4-plex assay read with
// three dyes): derivative, conditioning, peak detection, fit and filter,
// through the public interface.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "QuelmarAlg.h"
#include "csv_columns.h"
#include "peak_test_support.h"

namespace {

using namespace peaks_test;

// The six columns of the file (temperature and reading per dye).
std::vector<V> read_columns() { return quelmar_test::read_csv_columns(QUELMARALG_DATA_DIR "/dyemelt.csv"); }

// The road of the example program: -dF/dT, smoothed over +-20 grid points
// and freed of its background, maxima above a tenth of the curve as the
// start, the fit, and the peaks of plausible height and width.
Fields melting_peaks(const V& temperature, const V& fluorescence) {
    size_t count = 0;
    double *grid = nullptr, *derivative = nullptr;
    EXPECT_EQ(alg_melting(temperature.size(), temperature.data(), fluorescence.data(), &count, &grid, &derivative),
              ALG_OK);
    const V x = take(grid, count);
    V y = take(derivative, count);
    EXPECT_EQ(alg_super_smooth(y.data(), y.size(), 20), ALG_OK);
    EXPECT_EQ(alg_melting_normalization(y.data(), y.size()), ALG_OK);
    const double top = *std::max_element(y.begin(), y.end());

    const Handle handle(x, y, 0.5);
    Set maxima, candidates, peaks;
    EXPECT_EQ(alg_mgf_local_max_value_id(handle.p, &maxima.p), ALG_OK);
    const V start_limits{0.1 * top, HUGE_VAL, 0.0};
    EXPECT_EQ(alg_mgf_coeff_filter(start_limits.data(), maxima.p, &candidates.p), ALG_OK);
    EXPECT_EQ(alg_mgf_solve(handle.p, candidates.p), ALG_OK);
    const V peak_limits{0.1 * top, 5.0, 0.3};
    EXPECT_EQ(alg_mgf_coeff_filter(peak_limits.data(), candidates.p, &peaks.p), ALG_OK);
    return read(peaks.p);
}

// The temperature of the steepest fall of the raw readings: central
// differences over +-3 readings, leaving out the first readings, where the
// instrument's start transient dominates.
double steepest_fall(const V& t, const V& f) {
    double best = -HUGE_VAL, at = NAN;
    for (size_t i = 5; i + 3 < t.size(); ++i) {
        const double slope = -(f[i + 3] - f[i - 3]) / (t[i + 3] - t[i - 3]);
        if (slope > best) {
            best = slope;
            at = (t[i + 3] + t[i - 3]) / 2;
        }
    }
    return at;
}

TEST(Dyemelt, EveryDyeHasOneDominantProductPeak) {
    const std::vector<V> columns = read_columns();
    ASSERT_EQ(columns[0].size(), 165u);
    ASSERT_EQ(columns[5].size(), 165u);
    const V products{77.3, 80.1, 82.4, 84.7};  // the maxima of the raw central differences
    for (size_t dye = 0; dye < 3; ++dye) {
        SCOPED_TRACE("dye " + std::to_string(dye));
        const V& t = columns[2 * dye];
        const V& f = columns[2 * dye + 1];
        const Fields peaks = melting_peaks(t, f);
        ASSERT_GE(peaks.center.size(), 1u);
        for (const double centre : peaks.center) {
            double nearest = HUGE_VAL;
            for (const double p : products) nearest = std::min(nearest, std::fabs(centre - p));
            EXPECT_LT(nearest, 0.3) << "a fitted peak at " << centre << " is no product";
        }
        // The tallest peak sits where the raw readings fall fastest and
        // clearly stands above the others.
        V heights = peaks.amplitude;
        const size_t top = std::max_element(heights.begin(), heights.end()) - heights.begin();
        EXPECT_NEAR(peaks.center[top], steepest_fall(t, f), 0.25);
        std::sort(heights.begin(), heights.end());
        EXPECT_TRUE(heights.size() == 1 || heights.back() > 1.2 * heights[heights.size() - 2]);
    }
}

}  // namespace
