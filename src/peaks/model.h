// The model of the peak decomposition, a sum of Gaussian peaks on the
// temperatures of a fit handle, and the residual that the peak fit minimises.
#pragma once

#include "numeric/vector.h"
#include "peaks/peak_objects.h"

namespace quelmar {

// The sum of the set's peaks at every temperature of the handle; as many
// values as the handle's y. Refuses a set whose fields differ in length, and,
// when there is a peak, a handle whose x and y differ in length.
Vector multi_gauss(const MgfHandle& handle, const GaussCoeff& set);

// A ResidualFunction with the handle as context: out becomes the model of
// the interleaved parameters (amplitude, center, sigma per peak; one or two
// trailing values ignored) minus the handle's y.
void mgf_residual(const void* context, const Vector& params, Vector& out);

}  // namespace quelmar
