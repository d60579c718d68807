// The fluorescence threshold of a plate.
#pragma once

#include <cstddef>

#include "amplification/record.h"
#include "numeric/vector.h"

namespace quelmar {

// Conditions and fits every well (data well after well), fills the first
// well_count records, reads the baseline step of all record_count (at least
// well_count) of them, and returns one threshold of at least 100 for the
// plate.
double calc_threshold(WellRecord* records, std::size_t record_count, const Vector& data, std::size_t well_count,
                      std::size_t cycle_count);

}  // namespace quelmar
