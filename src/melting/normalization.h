// Background removal of a melting curve.
#pragma once

#include "numeric/vector.h"

namespace quelmar {

// In place: with T = 0.1 * SD + 0.9 * mean (population SD), values below T
// and negative values become 0, and values above a positive T are lowered by
// T, so that only the peaks remain, standing on zero. An empty curve is left
// alone.
void melting_normalization(Vector& values);

}  // namespace quelmar
