// The per-well record of the amplification analysis: the fields of the host's
// FittingResult that the analysis reads and writes. The exports copy the
// host's records in and the results back out.
#pragma once

#include <cstdint>

namespace quelmar {

struct WellRecord {
    double max_slope_index = 0;      // 0-based index of the steepest rise
    double amplification_ratio = 0;  // reading ratio at the threshold crossing
    double baseline_step = 0;        // larger of two cycle-to-cycle increments
    double max_corrected_slope = 0;  // steepest rise after slope correction
    double third_value = 0;          // reading at index 2
    double raw_max = 0;              // largest reading
    double baseline_slope = 0;       // slope of the baseline line
    std::int16_t baseline_start = 0;  // first baseline cycle; 0 = choose
    std::int16_t baseline_end = 0;    // last baseline index; 0 = choose
    double sigmoid_amplitude = 0;     // the fitted logistic of the threshold calculation
    double sigmoid_midpoint = 0;
    double sigmoid_steepness = 0;
    double baseline_sd = 0;          // standard deviation of the baseline
    std::uint8_t low_signal = 0;     // 1: the curve never reaches 300
    std::uint8_t no_growth = 0;      // 1: the curve barely rises
};

}  // namespace quelmar
