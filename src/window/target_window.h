// The window of linearity of one target (amplicon) and what its wells read
// from it: efficiencies, the target's mean efficiency, Cq and N0.
#pragma once

#include <cstddef>

#include "window/well_curve.h"

namespace quelmar::wol {

struct WellReading {
    double cq, efficiency, n0;
    std::size_t window_first, window_last;  // reading indices (valid when the reason is kOk)
    bool in_mean;
};

struct TargetWindow {
    double low, high, threshold;  // fractions of the plateau
    double plateau_median;
    double mean_efficiency, efficiency_sd, cv;
    int wells, amplified, in_window, in_mean;
    bool common_plateau;  // every well read against the median plateau
    bool baseline_kept;   // the readings came with their baseline removed; every well keeps its zero
    SearchSummary search;
};

// Analyses the wells of one target: curves[k] is the k-th well's reading
// (its reason may be changed to kEarlyPlateau, kNoPlateau or kOutsideWindow) and
// readings[k] receives its result.
TargetWindow analyse_target(WellCurve* const* curves, WellReading* readings, std::size_t count);

}  // namespace quelmar::wol
