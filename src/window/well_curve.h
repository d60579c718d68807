// One well's curve read for the window of linearity: its ground phase, the
// baseline that follows the readings' drift and straightens the log-linear
// phase (or the zero of readings whose baseline was removed already), and
// its plateau.
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

// Where a well's baseline comes from: fitted to its readings, or the zero of
// readings from which the instrument removed its baseline already.
enum class BaselineSource { kFitted, kKeptZero };

struct WellCurve {
    WellReason reason = WellReason::kOk;
    double level = 0.0;    // baseline at cycle 0
    double slope = 0.0;    // baseline change per cycle
    double plateau = 0.0;  // largest signal from the steepest rise on
    double noise = 0.0;    // SD of the ground readings about their line
    std::size_t ground_first = 0, ground_last = 0;  // reading indices
    std::size_t steepest = 0;                       // the largest rise is from reading steepest to the next
    bool ground_read = false;                       // a ground phase was looked for (not for bad readings or
                                                    // a rise before the ground could be read)
    int ground_passes = 0;
    bool still_rising = false;  // the last step is still a large share of the steepest
    SearchSummary baseline;
    Vector signal;  // readings less the baseline
};

// The reading of index c is cycle c + 1.
inline double cycle_of(std::size_t index) noexcept { return static_cast<double>(index) + 1.0; }

// Reads one well of `count` readings (at least 12). A well with a NaN or
// infinite reading comes back with kBadReadings and NaN fields, a flat one
// with kNoAmplification, one that rises too soon with kNoGround. With
// kKeptZero the ground phase is read against zero and the baseline is zero.
WellCurve read_well(const double* readings, std::size_t count, BaselineSource source = BaselineSource::kFitted);

// Whether a target's readings came with their baseline removed: the ground
// of its typical well lies about zero. plate holds `count` readings a well,
// well after well; members are the indices of the target's wells, curves
// their readings by read_well (fitted).
bool baseline_removed(const double* plate, std::size_t count, const std::size_t* members, const WellCurve* const* curves,
                      std::size_t member_count);

}  // namespace quelmar::wol
