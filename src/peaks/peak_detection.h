// Detection of melting peaks and the initial coefficients of the fit.
#pragma once

#include <cstddef>

#include "base/block_array.h"
#include "numeric/vector.h"
#include "peaks/peak_set.h"

namespace quelmar {

// The positions of the detected maxima, ascending.
using IndexList = BlockArray<std::size_t>;

// The strict local maxima of v: every j with v[j] > v[j-1] and v[j+1] < v[j]
// (judged by the signs of the differences). The first and the last value are
// never maxima, and a curve of fewer than three values has none.
IndexList local_max_indices(const Vector& v);

// Fills an empty set with one peak per maximum of the curve's y: its height,
// its temperature, and a width estimated from the curve's height
// peak_width * 1.3 away from it. A maximum that is not above zero is a
// std::overflow_error; a curve with fewer than four temperatures or an x
// shorter than y, a negative or NaN peak_width, and a width window that
// leaves the data are refused.
void estimate_peaks(const PeakCurve& curve, double peak_width, PeakSet& set);

// Fills an empty set with one peak per maximum of y, centred at x, all of
// width 1.7. An x shorter than y is refused.
void raw_peaks(const Vector& x, const Vector& y, PeakSet& set);

}  // namespace quelmar
