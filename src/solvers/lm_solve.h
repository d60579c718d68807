// The damped least-squares fit of the melting peaks: Levenberg-Marquardt
// with central differences and a damping that follows the gain ratio, after
// K. Madsen, H. B. Nielsen and O. Tingleff, Methods for Non-Linear Least
// Squares Problems (2nd ed., IMM, Technical University of Denmark, 2004),
// Algorithm 3.16. Where the fit departs from that algorithm, lm_solve.cpp
// says so at the departure.
#pragma once

#include "numeric/matrix.h"
#include "numeric/vector.h"
#include "solvers/fit_summary.h"

namespace quelmar {

// A function of the parameters whose value vector the fit drives to zero.
// context is passed through unchanged; out is replaced by the value vector.
using ResidualFunction = void (*)(const void* context, const Vector& params, Vector& out);

// The central-difference step, and its doubled reciprocal by which every
// difference is multiplied, for whoever forms the same Jacobian another way.
inline constexpr double kJacobianStep = 5e-8;
inline constexpr double kJacobianInverseTwoSteps = 1e7;

// The central-difference Jacobian of f at p: J becomes m x n after one
// evaluation that sizes it, then column j is (f(p+) - f(p-)) * 1e7 with
// element j stepped by kJacobianStep either way, for j ascending. The
// prescribed behaviour, unlike the textbook's Jacobian at a fixed point: p is
// left with every element shifted by the step, so each column is taken with
// the earlier elements already shifted.
void numerical_jacobian(ResidualFunction f, const void* context, Vector& p, Matrix& jacobian);

// What lm_solve minimises: half the sum of squares of a residual vector.
class LeastSquaresProblem {
public:
    virtual ~LeastSquaresProblem() = default;

    // out is replaced by the residual at p. Must be deterministic.
    virtual void residual(const Vector& p, Vector& out) = 0;

    // jacobian becomes numerical_jacobian of residual() at p, p is shifted
    // as numerical_jacobian leaves it, and r becomes the residual at the
    // shifted p. This does exactly that; a problem that knows which values
    // each parameter moves may form the same bits with less work.
    virtual void linearise(Vector& p, Matrix& jacobian, Vector& r);
};

// Minimises half the sum of squares of the problem's residual from the
// starting point p, with its central-difference Jacobian, a gain-ratio
// damping update and at most 100 iterations. It ends converged by gradient
// or by step, on a step that does not descend, or at the iteration limit,
// and p then receives the result (none of these endings is an error); on a
// singular system, and when anything throws, p is left alone.
FitSummary lm_solve(LeastSquaresProblem& problem, Vector& p);

// The same fit of f with context, linearised by numerical_jacobian.
FitSummary lm_solve(ResidualFunction f, const void* context, Vector& p);

}  // namespace quelmar
