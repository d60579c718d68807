#include "curves/curve_primitives.h"

#include <algorithm>
#include <utility>

namespace quelmar {

void central_difference(Vector& v) {
    const std::size_t n = v.size();
    Vector d(n);
    for (std::size_t i = 1; i + 1 < n; ++i) d[i] = (v[i + 1] - v[i - 1]) * 0.5;
    d[0] = d[1];
    d[n - 1] = d[n - 2];
    v = std::move(d);
}

std::size_t argmax(const Vector& v) noexcept {
    if (v.empty()) return 0;
    std::size_t best_index = 0;
    double best = v[0];
    for (std::size_t i = 1; i < v.size(); ++i)
        if (v[i] > best) {
            best = v[i];
            best_index = i;
        }
    return best_index;
}

std::size_t argmin(const Vector& v) noexcept {
    if (v.empty()) return 0;
    std::size_t best_index = 0;
    double best = v[0];
    for (std::size_t i = 1; i < v.size(); ++i)
        if (v[i] < best) {
            best = v[i];
            best_index = i;
        }
    return best_index;
}

void weighted_kernel_filter(const Vector& kernel, Vector& data) {
    const std::size_t k = kernel.size();
    const std::size_t n = data.size();
    const std::size_t h = k / 2;

    double left = 0.0;
    for (std::size_t i = 0; i < h; ++i) left += data[i];
    left = std::max(data[h - 1], left / static_cast<double>(h));

    double right = 0.0;
    for (std::size_t i = n - 2 * h; i < n - h; ++i) right += data[i];
    right = std::max(data[n - 1], right / static_cast<double>(h));

    // The right pad, then the curve over it, then the left pad.
    Vector padded(n + k, right);
    for (std::size_t i = 0; i < n; ++i) padded[h + i] = data[i];
    for (std::size_t i = 0; i < h; ++i) padded[i] = left;

    for (std::size_t i = 0; i < n; ++i) {
        double sum = 0.0;
        for (std::size_t j = 0; j < k; ++j) sum += kernel[j] * padded[i + j];
        data[i] = sum;
    }
}

}  // namespace quelmar
