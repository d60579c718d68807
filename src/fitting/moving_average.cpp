#include "fitting/moving_average.h"

#include <cstdint>
#include <utility>

namespace quelmar {

void moving_average(Vector& v, int half_window) {
    // 64-bit signed indices: the same windows as 32-bit ones for every curve
    // that fits them, and no overflow for longer curves.
    const std::int64_t n = static_cast<std::int64_t>(v.size());
    const std::int64_t w = half_window;
    Vector result(v.size());
    for (std::int64_t i = 0; i < n; ++i) {
        // Only the window positions inside the curve add anything, in the
        // same ascending order; clipping the range first keeps a huge
        // half-window from walking billions of empty positions.
        const std::int64_t first = i - w < 0 ? 0 : i - w;
        const std::int64_t last = i + w > n - 1 ? n - 1 : i + w;
        double sum = 0.0;
        std::int64_t k = 0;
        for (std::int64_t j = first; j <= last; ++j) {
            sum += v[static_cast<std::size_t>(j)];
            ++k;
        }
        result[static_cast<std::size_t>(i)] = sum / static_cast<double>(k);
    }
    v = std::move(result);
}

}  // namespace quelmar
