// The damped least-squares fit of the melting peaks: Levenberg-Marquardt
// with central differences and a damping that follows the gain ratio.
#pragma once

#include "numeric/vector.h"

namespace quelmar {

// A function of the parameters whose value vector the fit drives to zero.
// context is passed through unchanged; out is replaced by the value vector.
using ResidualFunction = void (*)(const void* context, const Vector& params, Vector& out);

// Minimises half the sum of squares of f(p) from the starting point p, with a
// central-difference Jacobian, a gain-ratio damping update and at most 100
// iterations. p receives the result on every normal ending (none of them is
// an error) and is left alone when anything throws. f must be deterministic.
void lm_solve(ResidualFunction f, const void* context, Vector& p);

}  // namespace quelmar
