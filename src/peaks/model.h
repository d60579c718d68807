// The model of the peak decomposition, a sum of Gaussian peaks on the
// temperatures of a peak curve, the residual that the peak fit minimises,
// and the fit itself.
#pragma once

#include "numeric/vector.h"
#include "peaks/peak_set.h"
#include "solvers/fit_summary.h"

namespace quelmar {

// The sum of the set's peaks at every temperature of the curve; as many
// values as the curve's y. Refuses a set whose fields differ in length, and,
// when there is a peak, a curve whose x and y differ in length.
Vector multi_gauss(const PeakCurve& curve, const PeakSet& set);

// A ResidualFunction with the curve as context: out becomes the model of the
// interleaved parameters (amplitude, center, sigma per peak; one or two
// trailing values ignored) minus the curve's y.
void mgf_residual(const void* context, const Vector& params, Vector& out);

// Fits the set's peaks to the curve (lm_solve) and writes the fitted values
// back into the first center.size() entries of each field, only on success;
// a fit that ends on a singular system is refused (see require_result).
FitSummary solve_peaks(const PeakCurve& curve, PeakSet& set);

}  // namespace quelmar
