// The damped least-squares (Levenberg-Marquardt) fit of the melting peaks.
#pragma once

#include "numeric/matrix.h"
#include "numeric/vector.h"
#include "peaks/peak_objects.h"

namespace quelmar {

// Minimises half the sum of squares of f(p) from the starting point p, with a
// central-difference Jacobian, a gain-ratio damping update and at most 100
// iterations. p receives the result on every normal ending (none of them is
// an error) and is left alone when anything throws. f must be deterministic.
void lm_solve(ResidualFunction f, const void* context, Vector& p);

// Fits the set's peaks to the handle's curve and writes the fitted values
// back into the first center.size() entries of each field, only on success.
void solve_peaks(const MgfHandle& handle, GaussCoeff& set);

}  // namespace quelmar
