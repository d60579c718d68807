// The filter that keeps only the plausible peaks of a fitted set.
#pragma once

#include "peaks/peak_set.h"

namespace quelmar {

struct FilterLimits {
    double min_amplitude;
    double max_fwhm;
    double min_fwhm;
};

// Fills an empty set with the peaks of `set` whose height is above
// min_amplitude and whose full width at half maximum (sigma * 2.3548) lies in
// [min_fwhm, max_fwhm], in their order. A NaN height or width never passes.
void filter_peaks(const FilterLimits& limits, const PeakSet& set, PeakSet& out);

}  // namespace quelmar
