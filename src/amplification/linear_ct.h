// Ct values by linear interpolation at the threshold crossing.
#pragma once

#include <cstddef>

#include "amplification/record.h"
#include "numeric/matrix.h"
#include "numeric/vector.h"

namespace quelmar {

// The fractional 1-based cycle where the curve crosses the threshold, or
// NaN without a usable crossing. ratio receives the ratio of the two
// readings around the crossing (0.0 when there is none).
double crossing_ct(const Vector& curve, double threshold, double& ratio);

// Conditions every well of a plate (data well after well) into its record
// and returns record_count Cts, those past the wells 0; curves becomes the
// cycle_count x well_count matrix of the conditioned curves.
Vector linear_batch_ct(const Vector& data, WellRecord* wells, std::size_t record_count, double threshold,
                       std::size_t well_count, std::size_t cycle_count, Matrix& curves);

}  // namespace quelmar
