// Evenly spaced abscissa grids.
#pragma once

#include <cstddef>

#include "numeric/vector.h"

namespace quelmar {

// (n - 1) * factor + 1 points from x[0] to x[n-1] in equal steps, the points
// accumulated one step at a time and the last one set to x[n-1] exactly.
// Only the first and last abscissae are read. Refuses fewer than three
// values (std::invalid_argument); a point count too large to represent fails
// in the allocator like any impossible request.
Vector refine_grid(const Vector& x, std::size_t factor);

}  // namespace quelmar
