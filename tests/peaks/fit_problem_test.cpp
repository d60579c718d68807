// The peak fit's problem (PeakFitProblem) against the plain computation it
// replaces: mgf_residual summing every peak anew, numerical_jacobian's
// central differences evaluating it twice per parameter, and the fit driven
// by them. Every value must agree to the bit, on random peak sets, on values
// that overflow or make NaNs, and on the bundled real melting curves.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "csv_columns.h"
#include "melting/melting_derivative.h"
#include "numeric/matrix.h"
#include "numeric/vector.h"
#include "peaks/fit_problem.h"
#include "peaks/model.h"
#include "peaks/peak_detection.h"
#include "peaks/peak_set.h"
#include "solvers/lm_solve.h"

namespace quelmar {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::uint64_t bits(double v) {
    std::uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

// The first element whose bits differ, or "" when none does.
std::string first_difference(const Vector& got, const Vector& want) {
    if (got.size() != want.size())
        return "sizes " + std::to_string(got.size()) + " and " + std::to_string(want.size());
    for (std::size_t i = 0; i < got.size(); ++i)
        if (bits(got[i]) != bits(want[i]))
            return "element " + std::to_string(i) + ": " + std::to_string(got[i]) + " and " + std::to_string(want[i]);
    return "";
}

void expect_same_bits(const Vector& got, const Vector& want, const std::string& what) {
    EXPECT_EQ(first_difference(got, want), "") << what;
}

void expect_same_bits(const Matrix& got, const Matrix& want, const std::string& what) {
    EXPECT_EQ(got.rows(), want.rows()) << what;
    EXPECT_EQ(got.cols(), want.cols()) << what;
    expect_same_bits(got.elements(), want.elements(), what);
}

struct Case {
    PeakCurve curve;
    Vector params;  // amplitude, center, sigma per peak
};

// A curve of 4 to 300 temperatures, evenly or unevenly spaced, holding a few
// noisy Gaussians, and 1 to 6 peaks to fit to it: heights of either sign and
// up to 10^4, centres inside and outside the curve, widths from 0.02 to 20.
Case random_case(std::mt19937_64& rng) {
    std::uniform_int_distribution<int> points(4, 300);
    std::uniform_int_distribution<int> peaks(1, 6);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const int m = points(rng);
    const bool even = unit(rng) < 0.5;
    const double step = 0.02 + 0.5 * unit(rng);
    Case c;
    c.curve.x.assign_fill(0.0, static_cast<std::size_t>(m));
    double t = 50.0 + 30.0 * unit(rng);
    for (double& x : c.curve.x) {
        x = t;
        t += even ? step : step * (0.2 + 1.6 * unit(rng));
    }
    const double first = c.curve.x[0];
    const double span = t - first;
    c.curve.y.assign_fill(0.0, static_cast<std::size_t>(m));
    for (int k = 0, products = 1 + peaks(rng) % 3; k < products; ++k) {
        const double centre = first + span * unit(rng);
        const double width = 0.2 + 2.0 * unit(rng);
        const double height = 0.1 + 10.0 * unit(rng);
        for (std::size_t i = 0; i < c.curve.x.size(); ++i) {
            const double d = (c.curve.x[i] - centre) / width;
            c.curve.y[i] += height * std::exp(-0.5 * d * d);
        }
    }
    for (double& y : c.curve.y) y += 0.05 * (unit(rng) - 0.5);
    const int n = peaks(rng);
    c.params.assign_fill(0.0, static_cast<std::size_t>(3 * n));
    for (int k = 0; k < n; ++k) {
        const double sign = unit(rng) < 0.15 ? -1.0 : 1.0;
        c.params[3 * k] = sign * std::pow(10.0, -3.0 + 7.0 * unit(rng));
        c.params[3 * k + 1] = first - 5.0 + (span + 10.0) * unit(rng);
        c.params[3 * k + 2] = std::pow(10.0, -1.7 + 3.0 * unit(rng));
    }
    return c;
}

// The plain residual, through the function the fit used to be handed.
Vector plain_residual(const PeakCurve& curve, const Vector& p) {
    Vector r;
    mgf_residual(&curve, p, r);
    return r;
}

// Linearises at c.params both ways, the problem having first evaluated its
// residual at `before` (nothing when empty), and compares every bit.
void expect_same_linearisation(const Case& c, const Vector* before, const std::string& what) {
    Vector p_plain = c.params;
    Matrix j_plain;
    numerical_jacobian(mgf_residual, &c.curve, p_plain, j_plain);
    const Vector r_plain = plain_residual(c.curve, p_plain);

    PeakFitProblem problem(c.curve);
    if (before != nullptr) {
        Vector ignored;
        problem.residual(*before, ignored);
    }
    Vector p = c.params;
    Matrix j;
    Vector r;
    problem.linearise(p, j, r);
    expect_same_bits(p, p_plain, what + ": shifted parameters");
    expect_same_bits(j, j_plain, what + ": Jacobian");
    expect_same_bits(r, r_plain, what + ": residual at the shifted parameters");
}

TEST(PeakFitProblem, ResidualIsTheModelsToTheBit) {
    std::mt19937_64 rng(20261207);
    for (int trial = 0; trial < 300; ++trial) {
        const Case c = random_case(rng);
        PeakFitProblem problem(c.curve);
        Vector r;
        problem.residual(c.params, r);
        expect_same_bits(r, plain_residual(c.curve, c.params), "trial " + std::to_string(trial));
        // Asked again at the same point, from the kept shapes.
        problem.residual(c.params, r);
        expect_same_bits(r, plain_residual(c.curve, c.params), "again, trial " + std::to_string(trial));
    }
}

// The Jacobian with nothing kept, with the shapes of the same point kept (as
// the fit asks for it after its trial), and with the shapes of another point.
TEST(PeakFitProblem, JacobianIsTheCentralDifferencesToTheBit) {
    std::mt19937_64 rng(7);
    for (int trial = 0; trial < 200; ++trial) {
        const Case c = random_case(rng);
        const std::string name = "trial " + std::to_string(trial) + " (" + std::to_string(c.params.size() / 3) +
                                 " peaks, " + std::to_string(c.curve.x.size()) + " points)";
        expect_same_linearisation(c, nullptr, name + ", fresh");
        expect_same_linearisation(c, &c.params, name + ", after the residual there");
        Vector elsewhere = c.params;
        elsewhere[elsewhere.size() - 1] *= 1.5;
        expect_same_linearisation(c, &elsewhere, name + ", after the residual elsewhere");
    }
}

// Values that turn the arithmetic to infinities and NaNs: each replaces one
// parameter of a three-peak set, at every position in turn.
TEST(PeakFitProblem, NonFiniteArithmeticKeepsItsBits) {
    Case c;
    c.curve.x.assign_sequence(70.0, 0.25, 41);
    c.curve.y.assign_fill(0.0, 41);
    for (std::size_t i = 0; i < 41; ++i) c.curve.y[i] = std::exp(-0.5 * (c.curve.x[i] - 75.0) * (c.curve.x[i] - 75.0));
    const double start[] = {1.0, 74.0, 1.0, 0.5, 76.25, 0.7, 2.0, 78.0, 1.5};
    const struct {
        const char* name;
        double value;
    } kValues[] = {
        {"zero", 0.0},          {"negative zero", -0.0},  {"NaN", kNaN},         {"infinity", kInf},
        {"-infinity", -kInf},   {"a grid temperature", 75.0}, {"tiny", 1e-300},  {"huge", 1e300},
        {"negative", -2.0},     {"subnormal", 4.9e-324},
    };
    for (const auto& v : kValues) {
        for (std::size_t at = 0; at < 9; ++at) {
            c.params = Vector::copy_of(start, 9);
            c.params[at] = v.value;
            expect_same_linearisation(c, nullptr, std::string(v.name) + " at " + std::to_string(at));
            PeakFitProblem problem(c.curve);
            Vector r;
            problem.residual(c.params, r);
            expect_same_bits(r, plain_residual(c.curve, c.params), std::string(v.name) + " residual");
        }
    }
}

// No peak, and one or two values past the last whole peak, which the model
// ignores but the central differences still step.
TEST(PeakFitProblem, ParametersOutsideWholePeaks) {
    std::mt19937_64 rng(3);
    Case c = random_case(rng);
    for (std::size_t count : {0u, 1u, 2u, 4u, 5u, 7u, 8u}) {
        Vector p(count);
        for (std::size_t i = 0; i < count; ++i) p[i] = i % 3 == 1 ? c.curve.x[c.curve.x.size() / 2] : 1.0 + 0.5 * i;
        c.params = p;
        expect_same_linearisation(c, nullptr, std::to_string(count) + " parameters");
    }
}

// With a peak, temperatures and values of different lengths are refused as
// mgf_residual refuses them; without one they are not compared.
TEST(PeakFitProblem, CurveOfMismatchedLengths) {
    PeakCurve curve;
    curve.x.assign_sequence(60.0, 0.5, 5);
    curve.y.assign_fill(1.0, 4);
    PeakFitProblem problem(curve);
    const double one_peak[] = {1.0, 61.0, 1.0};
    Vector p = Vector::copy_of(one_peak, 3);
    Vector r;
    std::string plain_message;
    try {
        mgf_residual(&curve, p, r);
    } catch (const std::invalid_argument& e) {
        plain_message = e.what();
    }
    ASSERT_FALSE(plain_message.empty());
    try {
        problem.residual(p, r);
        ADD_FAILURE() << "residual accepted the curve";
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()), plain_message);
    }
    Matrix j;
    try {
        problem.linearise(p, j, r);
        ADD_FAILURE() << "linearise accepted the curve";
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()), plain_message);
    }
    Vector none;
    problem.residual(none, r);
    expect_same_bits(r, plain_residual(curve, none), "no peak");
}

void expect_same_fit(const PeakCurve& curve, const Vector& start, const std::string& what) {
    Vector plain = start;
    const FitSummary s_plain = lm_solve(mgf_residual, &curve, plain);
    PeakFitProblem problem(curve);
    Vector p = start;
    const FitSummary s = lm_solve(problem, p);
    EXPECT_EQ(static_cast<int>(s.stop), static_cast<int>(s_plain.stop)) << what;
    EXPECT_EQ(s.iterations, s_plain.iterations) << what;
    EXPECT_EQ(bits(s.initial_cost), bits(s_plain.initial_cost)) << what;
    EXPECT_EQ(bits(s.final_cost), bits(s_plain.final_cost)) << what;
    expect_same_bits(p, plain, what + ": fitted parameters");
}

// Whole fits: the plain one and the problem's take the same steps and end on
// the same bits, from random sets and from peaks detected on real curves.
TEST(PeakFitProblem, FitsEndOnTheSameBits) {
    std::mt19937_64 rng(11);
    for (int trial = 0; trial < 40; ++trial) {
        const Case c = random_case(rng);
        expect_same_fit(c.curve, c.params, "random fit " + std::to_string(trial));
    }
}

TEST(PeakFitProblem, FitsOfTheBundledMeltCurvesEndOnTheSameBits) {
    const auto columns = quelmar_test::read_csv_columns(QUELMARALG_DATA_DIR "/dyemelt.csv");
    ASSERT_EQ(columns.size(), 6u);
    constexpr double kPeakWidth = 1.0;
    for (std::size_t dye = 0; dye < 3; ++dye) {
        const Vector t = Vector::copy_of(columns[2 * dye].data(), columns[2 * dye].size());
        const Vector f = Vector::copy_of(columns[2 * dye + 1].data(), columns[2 * dye + 1].size());
        PeakCurve curve;
        melting_derivative(t, f, curve.x, curve.y);
        PeakSet set;
        estimate_peaks(curve, kPeakWidth, set);
        ASSERT_GT(set.center.size(), 0u) << "dye " << dye;
        Vector start(3 * set.center.size());
        for (std::size_t k = 0; k < set.center.size(); ++k) {
            start[3 * k] = set.amplitude[k];
            start[3 * k + 1] = set.center[k];
            start[3 * k + 2] = set.sigma[k];
        }
        expect_same_fit(curve, start, "dye " + std::to_string(dye));
        Case c{curve, start};
        expect_same_linearisation(c, nullptr, "dye " + std::to_string(dye) + " Jacobian");
    }
}

}  // namespace
}  // namespace quelmar
