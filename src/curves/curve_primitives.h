// Curve operations shared by the amplification and melting analyses.
#pragma once

#include <cstddef>

#include "numeric/vector.h"

namespace quelmar {

// First derivative in place: (v[i+1] - v[i-1]) * 0.5 inside, the ends
// copied from their neighbours. Needs at least two elements.
void central_difference(Vector& v);

// Index of the first largest (smallest) element; 0 for an empty vector.
// A NaN never wins after index 0.
std::size_t argmax(const Vector& v) noexcept;
std::size_t argmin(const Vector& v) noexcept;

// Padded correlation of data with kernel, in place. The curve is extended
// by K/2 copies of a left pad and K - K/2 copies of a right pad, each the
// edge value unless the mean of the nearby readings is larger. The pad
// windows need a kernel of at least 2 weights and a curve of at least twice
// the half-kernel: the callers' own checks guarantee both.
void weighted_kernel_filter(const Vector& kernel, Vector& data);

}  // namespace quelmar
