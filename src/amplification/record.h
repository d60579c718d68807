// The per-well record of the amplification analysis: the fields of the host's
// FittingResult that the analysis reads and writes. The exports copy the
// host's records in and the results back out.
#pragma once

#include <cstdint>

namespace quelmar {

struct WellRecord {
    double max_slope_index;      // 0-based index of the steepest rise
    double amplification_ratio;  // reading ratio at the threshold crossing
    double baseline_step;        // larger of two cycle-to-cycle increments
    double max_corrected_slope;  // steepest rise after slope correction
    double third_value;          // reading at index 2
    double raw_max;              // largest reading
    double baseline_slope;       // slope of the baseline line
    std::int16_t baseline_start;  // first baseline cycle; 0 = choose
    std::int16_t baseline_end;    // last baseline index; 0 = choose
    double sigmoid_amplitude;     // the logistic fitted by the threshold calculation
    double sigmoid_midpoint;
    double sigmoid_steepness;
    double baseline_sd;        // standard deviation of the baseline
    std::uint8_t low_signal;   // 1: the curve never reaches 300
    std::uint8_t no_growth;    // 1: the curve barely rises
};

}  // namespace quelmar
