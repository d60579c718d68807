// The solvers' shortcuts against the plain computations they replace, to the
// bit: the normal equations summed as a transposed copy of J multiplied by J
// and by r, and the logistic fit as prescribed, forming its Jacobian and
// normal equations afresh every iteration, also after a rejected step.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "amplification/plate.h"
#include "amplification/record.h"
#include "csv_columns.h"
#include "maths/maths.h"
#include "numeric/matrix.h"
#include "numeric/vector.h"
#include "solvers/logistic_fit.h"
#include "solvers/normal_equations.h"

namespace quelmar {
namespace {

std::uint64_t bits(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

// Bits equal, except that a NaN matches any NaN: which of two NaN operands a
// product passes on is the processor's choice, as is the order of a product's
// operands the compiler's, so no sum may promise more of a NaN.
bool same_value(double a, double b) { return (std::isnan(a) && std::isnan(b)) || bits(a) == bits(b); }

// --- normal equations ---

TEST(NormalEquations, FormAsTheTransposedProducts) {
    std::mt19937_64 rng(5);
    std::uniform_int_distribution<int> size(0, 9);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    const double kSpecial[] = {0.0, -0.0, std::numeric_limits<double>::infinity(),
                               -std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN(),
                               1e300, 4.9e-324};
    for (int trial = 0; trial < 300; ++trial) {
        const std::size_t m = static_cast<std::size_t>(size(rng) * 7);
        const std::size_t n = static_cast<std::size_t>(size(rng));
        Matrix j(m, n);
        Vector r(m);
        for (std::size_t k = 0; k < m; ++k) {
            for (std::size_t c = 0; c < n; ++c)
                j(k, c) = trial % 3 == 0 && unit(rng) > 0.9 ? kSpecial[(k + c) % 7] : unit(rng) * 1e3;
            r[k] = unit(rng);
        }
        NormalEquations equations;
        equations.form(j, r);

        Matrix jt = j;
        jt.transpose();
        Matrix normal = jt;
        normal *= j;
        Vector gradient;
        multiply(jt, r, gradient);
        ASSERT_EQ(equations.normal().rows(), n);
        ASSERT_EQ(equations.normal().cols(), n);
        ASSERT_EQ(equations.gradient().size(), n);
        for (std::size_t a = 0; a < n; ++a) {
            EXPECT_TRUE(same_value(equations.gradient()[a], gradient[a])) << "trial " << trial << " g" << a;
            for (std::size_t b = 0; b < n; ++b)
                EXPECT_TRUE(same_value(equations.normal()(a, b), normal(a, b)))
                    << "trial " << trial << " A(" << a << ", " << b << ")";
        }
    }
}

// --- the logistic fit ---

constexpr double kAmplitudeUnit = 1000.0;
constexpr double kStep = 1e-4;

struct Reference {
    LogisticParams params;
    int iterations;
    bool singular;
};

// r = p0 * 1000 / (exp((x - p1) * (-p2)) + 1.0) - y, x = 1, 2, ...
Vector logistic_residual(const Vector& y, const Vector& p) {
    Vector r(y.size());
    for (std::size_t i = 0; i < y.size(); ++i)
        r[i] = p[0] * kAmplitudeUnit / (maths::exp((static_cast<double>(i + 1) - p[1]) * (-p[2])) + 1.0);
    r -= y;
    return r;
}

// The prescribed iteration, operation for operation, with the plain matrix
// algebra and a fresh Jacobian every time round.
Reference prescribed_logistic_fit(const Vector& y, const LogisticParams& start) {
    Vector p(3);
    p[0] = start.amplitude / kAmplitudeUnit;
    p[1] = start.midpoint;
    p[2] = start.steepness;
    Vector r = logistic_residual(y, p);
    double damping = 2.0;
    Reference out{{}, 0, false};
    const auto result = [&](const Vector& q) { return LogisticParams{q[0] * kAmplitudeUnit, q[1], q[2]}; };
    for (int iteration = 1; iteration <= 100; ++iteration) {
        out.iterations = iteration;
        Matrix j(y.size(), 3);
        for (std::size_t c = 0; c < 3; ++c) {
            Vector shifted = p;
            shifted[c] += kStep;
            Vector column = logistic_residual(y, shifted);
            column -= r;
            column *= 1.0 / kStep;
            j.set_col(c, column);
        }
        Matrix jt = j;
        jt.transpose();
        Vector g;
        multiply(jt, r, g);
        Matrix a = jt;
        a *= j;
        for (std::size_t row = 0; row < 3; ++row)
            for (std::size_t col = 0; col < 3; ++col) a(row, col) = a(row, col) + (row == col ? 1.0 : 0.0) * damping;
        if (!a.invert()) {
            out.singular = true;
            out.params = result(p);
            return out;
        }
        for (std::size_t row = 0; row < 3; ++row)
            for (std::size_t col = 0; col < 3; ++col) a(row, col) = -a(row, col);
        Vector trial;
        multiply(a, g, trial);
        trial += p;
        const Vector r_trial = logistic_residual(y, trial);
        if (1e-9 > norm(r_trial)) {
            out.params = result(trial);
            return out;
        }
        if (norm(r) > norm(r_trial)) {
            p = trial;
            r = r_trial;
            damping = std::max(1.5, damping * 0.5);
        } else {
            damping = 2.0 * damping;
            if (damping > 1e6) break;
        }
    }
    out.params = result(p);
    return out;
}

void expect_same_fit(const Vector& y, const LogisticParams& start, const std::string& what) {
    const LogisticFitResult fit = fit_logistic(y, start);
    const Reference want = prescribed_logistic_fit(y, start);
    EXPECT_EQ(bits(fit.params.amplitude), bits(want.params.amplitude)) << what;
    EXPECT_EQ(bits(fit.params.midpoint), bits(want.params.midpoint)) << what;
    EXPECT_EQ(bits(fit.params.steepness), bits(want.params.steepness)) << what;
    EXPECT_EQ(fit.summary.iterations, want.iterations) << what;
    EXPECT_EQ(fit.summary.stop == FitStop::kSingularSystem, want.singular) << what;
}

// Every well of the bundled 379-well plate, conditioned as the threshold
// calculation conditions it, from two starts.
TEST(LogisticFit, BundledPlateAsPrescribed) {
    const auto columns = quelmar_test::read_csv_columns(QUELMARALG_DATA_DIR "/reps384.csv");
    ASSERT_GT(columns.size(), 1u);
    const std::size_t cycles = columns[0].size();
    const std::size_t wells = columns.size() - 1;
    Vector data(wells * cycles);
    for (std::size_t w = 0; w < wells; ++w)
        for (std::size_t c = 0; c < cycles; ++c) data[w * cycles + c] = columns[w + 1][c];
    const Plate plate(data, wells, cycles);
    Vector curve;
    for (std::size_t w = 0; w < wells; ++w) {
        WellRecord record{};
        plate.condition_well(w, record, curve);
        const double top = curve[cycles - 1];
        expect_same_fit(curve, {top, 20.0, 0.4}, "well " + std::to_string(w));
        expect_same_fit(curve, {0.5 * top, 11.0, 0.1}, "well " + std::to_string(w) + ", low start");
    }
}

// Noisy logistics from random starts, and the fits that end otherwise: on a
// curve with a NaN, whose Jacobian has no pivot (singular), and on readings
// of 1e300, whose residual norm is infinite at every trial (the damping
// limit, after rejected steps only).
TEST(LogisticFit, SyntheticCurvesAsPrescribed) {
    std::mt19937_64 rng(29);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int trial = 0; trial < 200; ++trial) {
        const std::size_t n = 10 + static_cast<std::size_t>(50 * unit(rng));
        const double a = 100.0 + 1e4 * unit(rng), x0 = 5.0 + 35.0 * unit(rng), k = 0.05 + 1.5 * unit(rng);
        Vector y(n);
        for (std::size_t i = 0; i < n; ++i)
            y[i] = a / (1.0 + std::exp(-k * (static_cast<double>(i + 1) - x0))) + 20.0 * (unit(rng) - 0.5);
        expect_same_fit(y, {a * (0.2 + 2.0 * unit(rng)), 1.0 + 40.0 * unit(rng), 0.01 + unit(rng)},
                        "trial " + std::to_string(trial));
    }
    Vector with_nan(30, 100.0);
    with_nan[7] = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(fit_logistic(with_nan, {100.0, 15.0, 0.4}).summary.stop, FitStop::kSingularSystem);
    expect_same_fit(with_nan, {100.0, 15.0, 0.4}, "a NaN reading");
    const Vector huge(30, 1e300);
    EXPECT_EQ(fit_logistic(huge, {1.0, 15.0, 0.4}).summary.stop, FitStop::kDampingLimit);
    expect_same_fit(huge, {1.0, 15.0, 0.4}, "readings of 1e300");
}

}  // namespace
}  // namespace quelmar
