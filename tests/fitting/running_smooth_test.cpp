// The running five-point smooth, internally and through alg_run_smooth.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "QuelmarAlg.h"
#include "fitting/quadratic.h"
#include "fitting/running_smooth.h"

namespace {

using quelmar::Vector;

std::vector<double> run_smooth(std::vector<double> data) {
    EXPECT_EQ(alg_run_smooth(data.data(), data.size()), ALG_OK);
    EXPECT_STREQ(get_last_error(), "");
    return data;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

TEST(RunSmooth, FewerThanSixSamplesComeBackUnchanged) {
    EXPECT_EQ(alg_run_smooth(nullptr, 0), ALG_OK);
    EXPECT_EQ(run_smooth({3.5}), (std::vector<double>{3.5}));
    const std::vector<double> five{0, 10, 0, -10, 0};
    EXPECT_EQ(run_smooth(five), five);
}

TEST(RunSmooth, RemovesAnIsolatedSpike) {
    EXPECT_EQ(run_smooth({0, 0, 0, 10, 0, 0, 0, 0}), std::vector<double>(8, 0.0));
}

TEST(RunSmooth, NeverTouchesTheLastSample) {
    const std::vector<double> step{0, 0, 0, 0, 0, 0, 0, 10};
    EXPECT_EQ(run_smooth(step), step);
}

TEST(RunSmooth, KeepsAStraightLine) {
    std::vector<double> line;
    for (int i = 0; i < 8; ++i) line.push_back(i);
    const std::vector<double> out = run_smooth(line);
    for (int i = 0; i < 8; ++i) EXPECT_NEAR(out[i], line[i], 1e-12) << "sample " << i;
    EXPECT_EQ(out[7], 7.0);
}

TEST(RunSmooth, NanSpreadsAlongTheCurveButNotIntoTheLastSample) {
    std::vector<double> line;
    for (int i = 0; i < 20; ++i) line.push_back(i);
    line[10] = NAN;
    const std::vector<double> out = run_smooth(line);
    for (int i = 0; i < 19; ++i) EXPECT_TRUE(std::isnan(out[i])) << "sample " << i;
    EXPECT_EQ(out[19], 19.0);
}

TEST(RunSmooth, ReadsAndWritesExactlyCountSamples) {
    // Exactly sized heap blocks: the sanitizer build reports any access past
    // the end. Every count up to a few windows beyond the smallest curve.
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> noise(-1.0, 1.0);
    for (std::size_t count = 0; count <= 16; ++count) {
        std::vector<double> data(count);
        for (double& d : data) d = noise(random);
        data.shrink_to_fit();
        const double last = count ? data.back() : 0.0;
        EXPECT_EQ(alg_run_smooth(data.data(), count), ALG_OK);
        if (count != 0) {
            EXPECT_EQ(data.back(), last);
        }
    }
}

TEST(RunSmooth, FailedCallLeavesTheArrayAsItWas) {
    std::vector<double> data{5, -1, 3, NAN, 2, 8, 0, 4};
    const std::vector<double> before = data;
    // A count whose byte size overflows fails in the allocator, before any
    // sample is read.
    EXPECT_EQ(alg_run_smooth(data.data(), std::size_t{1} << 61), ALG_ERR_FAILURE);
    EXPECT_STREQ(get_last_error(), "bad array new length");
    EXPECT_TRUE(same_bits(data, before));
}

// The smooth written out literally, one window at a time: every stage on
// fresh copies, the parabola fitted from scratch at each position.
void literal_running_smooth(Vector& v) {
    const std::int64_t n = static_cast<std::int64_t>(v.size());
    for (int pass = 0; pass < 3; ++pass) {
        for (std::int64_t s = 0; s < n - 5; ++s) {
            const std::size_t b = static_cast<std::size_t>(s);
            Vector a = v.slice(b, b + 5);
            Vector o = a;
            for (std::size_t i = 1; i <= 3; ++i) {
                if (a[i - 1] > a[i] && a[i + 1] > a[i]) o[i] = (a[i - 1] + a[i + 1]) * 0.5;
                if (a[i] > a[i - 1] && a[i] > a[i + 1]) o[i] = (a[i - 1] + a[i + 1]) * 0.5;
            }
            for (std::size_t i = 0; i < 5; ++i) v[b + i] = o[i];

            const Vector y = v.slice(b, b + 5);
            Vector x;
            x.assign_sequence(1.0, 1.0, 5);
            Vector coeffs;
            quelmar::quadratic_least_squares(x, y, coeffs);
            const Vector fitted = quelmar::quadratic_eval(coeffs, x);
            for (std::size_t i = 0; i < 5; ++i) v[b + i] = fitted[i];

            const Vector c = v.slice(b, b + 5);
            Vector oc = c;
            for (std::size_t i = 1; i <= 2; ++i) {
                const double d1 = c[i] - c[i - 1];
                const double d2 = c[i + 1] - c[i];
                const double d3 = c[i + 2] - c[i];
                if ((d1 > d2 && d3 > d2) || (d2 > d1 && d2 > d3)) oc[i + 1] = (c[i] + c[i + 2]) * 0.5;
            }
            for (std::size_t i = 0; i < 5; ++i) v[b + i] = oc[i];
        }
    }
}

TEST(RunningSmooth, MatchesTheWindowByWindowFitBitForBit) {
    // The smooth forms the fit operator once for all windows; that must not
    // change a single bit against fitting every window from scratch.
    std::mt19937_64 random(2024);
    std::uniform_real_distribution<double> noise(-50.0, 50.0);
    for (std::size_t n : {6u, 7u, 23u, 200u}) {
        Vector v(n);
        for (std::size_t i = 0; i < n; ++i) v[i] = 0.01 * static_cast<double>(i * i) + noise(random);
        Vector expected = v;
        literal_running_smooth(expected);
        quelmar::running_smooth(v);
        EXPECT_EQ(std::memcmp(v.data(), expected.data(), n * sizeof(double)), 0) << "n = " << n;
    }
}

}  // namespace
