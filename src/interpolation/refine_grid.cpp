#include "interpolation/refine_grid.h"

#include <cstdint>

#include "base/allocator.h"
#include "base/failures.h"
#include "base/messages.h"

namespace quelmar {

Vector refine_grid(const Vector& x, std::size_t factor) {
    const std::size_t n = x.size();
    if (n < 3) fail_invalid_argument(msg::kArrayTooShort);
    const double first = x[0];
    const double last = x[n - 1];

    // Intervals of the fine grid. When (n - 1) * factor + 1 does not fit in
    // a size_t, ask for the largest count, which the allocator refuses,
    // instead of building a grid of a wrapped-around length.
    const std::size_t m = checked_product(n - 1, factor);
    Vector grid(m == SIZE_MAX ? SIZE_MAX : m + 1);

    const double step = (last - first) / static_cast<double>(m);
    grid[0] = first;
    for (std::size_t i = 1; i <= m; ++i) grid[i] = grid[i - 1] + step;
    // Rounding piles up over the running sum; the grid must still end on
    // the last abscissa.
    if (!(grid[m] == last)) grid[m] = last;
    return grid;
}

}  // namespace quelmar
