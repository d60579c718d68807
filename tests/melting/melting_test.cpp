// The melting road on a linear melt and on the bundled dye melting curves:
// derivative, smoothing, background, peak detection, fit and filter.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "QuelmarAlg.h"
#include "csv_columns.h"

namespace {

using V = std::vector<double>;

// -dF/dT on the refined grid.
void melt(const V& t, const V& f, V& grid, V& derivative) {
    std::size_t n = 0;
    double *g = nullptr, *d = nullptr;
    ASSERT_EQ(alg_melting(t.size(), t.data(), f.data(), &n, &g, &d), ALG_OK);
    grid.assign(g, g + n);
    derivative.assign(d, d + n);
    alg_darray_release(&g);
    alg_darray_release(&d);
}

TEST(Melting, LinearMeltGivesItsSlopeTimesTheFilterGain) {
    // F = 1000 - 20 T on 60..80: -dF/dT = 20, times 1.1^3 for three passes of
    // a kernel summing to 1.1. The pads bend the ends, and the spline carries
    // a bend inwards damped by 2 - sqrt(3) per reading.
    V t(41), f(41), grid, derivative;
    for (int i = 0; i < 41; ++i) t[i] = 60 + 0.5 * i, f[i] = -200 - 10.0 * i;
    melt(t, f, grid, derivative);
    ASSERT_EQ(grid.size(), 401u);
    for (std::size_t i = 140; i <= 250; ++i) EXPECT_NEAR(derivative[i], 26.62, 1e-6) << "T = " << grid[i];
}

// The peaks of a set handed out by a call, read and released.
struct Peaks {
    GaussCoeff* set = nullptr;
    V a, b, c;
    ~Peaks() { alg_gausscoeff_release(&set); }
    void read() {
        std::size_t n[3];
        double* p[3];
        ASSERT_EQ(alg_get_gausscoeff_data(set, &n[0], &p[0], &n[1], &p[1], &n[2], &p[2]), ALG_OK);
        V* fields[] = {&a, &b, &c};
        for (int i = 0; i < 3; ++i) {
            fields[i]->assign(p[i], p[i] + n[i]);
            alg_darray_release(&p[i]);
        }
    }
};

// Columns T0, EvaGreen, T1, SybrGreen.I, T2, Syto13 (a 4-plex assay).
TEST(Melting, RealDyesPeakWhereTheirFluorescenceFallsFastest) {
    const auto columns = quelmar_test::read_csv_columns(QUELMARALG_DATA_DIR "/dyemelt.csv");
    ASSERT_TRUE(columns.size() == 6 && columns[5].size() == 165);
    const V products{77.3, 80.1, 82.4, 84.7};  // the maxima of the raw central differences
    for (int dye = 0; dye < 3; ++dye) {
        SCOPED_TRACE(dye);
        const V &t = columns[2 * dye], &f = columns[2 * dye + 1];
        V grid, y;
        melt(t, f, grid, y);
        EXPECT_EQ(grid.back(), t.back());
        // The steepest fall of the readings over three readings either side
        // (single steps are too noisy for the flattest dye): where -dF/dT
        // peaks; and leaving out the start transient, at the midpoint.
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
        MgfHandle* handle = nullptr;
        ASSERT_EQ(alg_mgf_create(grid.data(), grid.size(), y.data(), y.size(), &options, &handle), ALG_OK);
        Peaks maxima, start, peaks;
        const double start_limits[] = {0.1 * top, HUGE_VAL, 0.0}, peak_limits[] = {0.1 * top, 5.0, 0.3};
        EXPECT_EQ(alg_mgf_local_max_value_id(handle, &maxima.set), ALG_OK);
        EXPECT_EQ(alg_mgf_coeff_filter(start_limits, maxima.set, &start.set), ALG_OK);
        EXPECT_EQ(alg_mgf_solve(handle, start.set), ALG_OK);
        EXPECT_EQ(alg_mgf_coeff_filter(peak_limits, start.set, &peaks.set), ALG_OK);
        alg_mgf_release(&handle);
        peaks.read();
        ASSERT_GE(peaks.b.size(), 1u);
        for (const double centre : peaks.b) {
            double nearest = HUGE_VAL;
            for (const double p : products) nearest = std::min(nearest, std::fabs(centre - p));
            EXPECT_LT(nearest, 0.3) << "a fitted peak at " << centre << " is no product";
        }
        // The tallest peak sits where the readings fall fastest and clearly
        // stands above the others.
        V heights = peaks.a;
        EXPECT_NEAR(peaks.b[std::max_element(heights.begin(), heights.end()) - heights.begin()], late_at, 0.25);
        std::sort(heights.begin(), heights.end());
        EXPECT_TRUE(heights.size() == 1 || heights.back() > 1.2 * heights[heights.size() - 2]);
    }
}

// Exact sums of Gaussians are recovered from a start near the truth, to the
// scale on which the fit stops: a step below 1e-6 of the parameters' norm.
TEST(PeakFit, RecoversExactCurves) {
    const std::vector<std::vector<V>> truths = {{{8, 5}, {77, 80.5}, {1.1, 0.8}},
                                                {{4, 9, 2.5}, {72, 84.5, 87}, {0.7, 1.3, 0.6}}};
    V x(701), y(701);
    for (std::size_t k = 0; k < x.size(); ++k) x[k] = 60.0 + 0.05 * double(k);
    for (const auto& truth : truths) {
        std::vector<V> start = truth;
        for (std::size_t k = 0; k < x.size(); ++k) {
            y[k] = 0;
            for (std::size_t i = 0; i < truth[1].size(); ++i) {
                const double d = x[k] - truth[1][i];
                y[k] += truth[0][i] * std::exp(-d * d / (2 * truth[2][i] * truth[2][i]));
            }
        }
        for (std::size_t i = 0; i < truth[1].size(); ++i)
            start[0][i] *= 1.04, start[1][i] += i % 2 == 0 ? 0.15 : -0.1, start[2][i] *= 0.93;
        const MgfOptions options{};
        MgfHandle* handle = nullptr;
        Peaks fit;
        ASSERT_EQ(alg_mgf_create(x.data(), x.size(), y.data(), y.size(), &options, &handle), ALG_OK);
        ASSERT_EQ(alg_create_gausscoeff(&fit.set), ALG_OK);
        const std::size_t n = truth[1].size();
        ASSERT_EQ(alg_set_gausscoeff_data(fit.set, n, start[0].data(), n, start[1].data(), n, start[2].data()), ALG_OK);
        ASSERT_EQ(alg_mgf_solve(handle, fit.set), ALG_OK);
        alg_mgf_release(&handle);
        fit.read();
        const std::vector<V> got = {fit.a, fit.b, fit.c};
        double error = 0, scale = 0;
        for (int f = 0; f < 3; ++f)
            for (std::size_t i = 0; i < n; ++i)
                error += std::pow(got[f][i] - truth[f][i], 2), scale += std::pow(truth[f][i], 2);
        EXPECT_LE(std::sqrt(error), 1e-6 * std::sqrt(scale));
    }
}

}  // namespace
