// One well's curve read for the window of linearity: its ground phase, the
// baseline that follows the readings' drift and straightens the log-linear
// phase, and its plateau.
#pragma once

#include <cstddef>

#include "numeric/vector.h"

namespace quelmar::wol {

// Why a well gives no Cq; the values are the header's WOL_WELL_* codes.
enum class WellReason {
    kOk = 0,
    kBadReadings = 1,
    kNoAmplification = 2,
    kNoGround = 3,
    kEarlyPlateau = 4,
    kOutsideWindow = 5,
    kNoPlateau = 6,
};

// How a search ended; the values are the header's WOL_STOP_* codes.
enum class SearchStop {
    kConverged = 0,
    kEdge = 1,
    kIterationLimit = 2,
    kSkipped = 3,
    kTooFewWells = 4,
};

struct SearchSummary {
    SearchStop stop = SearchStop::kSkipped;
    int steps = 0;
};

struct WellCurve {
    WellReason reason = WellReason::kOk;
    double level = 0.0;    // baseline at cycle 0
    double slope = 0.0;    // baseline change per cycle
    double plateau = 0.0;  // largest signal from the steepest rise on
    double noise = 0.0;    // SD of the ground readings about their line
    std::size_t ground_first = 0, ground_last = 0;  // reading indices
    std::size_t steepest = 0;                       // the largest rise is from reading steepest to the next
    int ground_passes = 0;
    bool still_rising = false;  // the last step is still a large share of the steepest
    SearchSummary baseline;
    Vector signal;  // readings less the baseline
};

// The reading of index c is cycle c + 1.
inline double cycle_of(std::size_t index) noexcept { return static_cast<double>(index) + 1.0; }

// Reads one well of `count` readings (at least 12). A well with a NaN or
// infinite reading comes back with kBadReadings and NaN fields, a flat one
// with kNoAmplification, one that rises too soon with kNoGround.
WellCurve read_well(const double* readings, std::size_t count);

}  // namespace quelmar::wol
