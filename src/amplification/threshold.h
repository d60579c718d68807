// The fluorescence threshold of a plate.
#pragma once

#include <cstddef>

#include "QuelmarAlg.h"
#include "numeric/vector.h"

namespace quelmar {

// Conditions and fits every well (data well after well), fills the records,
// and returns one threshold of at least 100 for the plate.
double calc_threshold(FittingResult* records, std::size_t record_count, const Vector& data,
                      std::size_t well_count, std::size_t cycle_count);

}  // namespace quelmar
