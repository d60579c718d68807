// The damped least-squares fit of the melting peaks: Levenberg-Marquardt
// with central differences and a damping that follows the gain ratio, after
// K. Madsen, H. B. Nielsen and O. Tingleff, Methods for Non-Linear Least
// Squares Problems (2nd ed., IMM, Technical University of Denmark, 2004),
// Algorithm 3.16. Where the fit departs from that algorithm, lm_solve.cpp
// says so at the departure.
#pragma once

#include "numeric/vector.h"
#include "solvers/fit_summary.h"

namespace quelmar {

// A function of the parameters whose value vector the fit drives to zero.
// context is passed through unchanged; out is replaced by the value vector.
using ResidualFunction = void (*)(const void* context, const Vector& params, Vector& out);

// Minimises half the sum of squares of f(p) from the starting point p, with a
// central-difference Jacobian, a gain-ratio damping update and at most 100
// iterations. It ends converged by gradient or by step, on a step that does
// not descend, or at the iteration limit, and p then receives the result
// (none of these endings is an error); on a singular system, and when
// anything throws, p is left alone. f must be deterministic.
FitSummary lm_solve(ResidualFunction f, const void* context, Vector& p);

}  // namespace quelmar
