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
        double sum = 0.0;
        std::int64_t k = 0;
        for (std::int64_t j = i - w; j <= i + w; ++j) {
            if (j >= 0 && j < n) {
                sum += v[static_cast<std::size_t>(j)];
                ++k;
            }
        }
        result[static_cast<std::size_t>(i)] = sum / static_cast<double>(k);
    }
    v = std::move(result);
}

}  // namespace quelmar
