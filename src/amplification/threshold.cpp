#include "amplification/threshold.h"

#include <algorithm>

#include "amplification/plate.h"
#include "amplification/sigmoid.h"
#include "curves/curve_primitives.h"
#include "solvers/fit_summary.h"

namespace quelmar {
namespace {

constexpr double kNoiseFactor = 10.0;       // the noise level, in mean baseline standard deviations
constexpr double kLowestThreshold = 100.0;  // no plate's threshold lies below it
// The fitted curve is read this many cycles before its sharpest upward bend,
// and never before the second cycle.
constexpr std::size_t kCyclesBeforeBend = 1;
constexpr std::size_t kEarliestLevelIndex = 1;

// The fitted logistic at cycles 1 .. cycle_count (into fitted), read one
// cycle before its sharpest upward bend: the level where the fitted curve
// has clearly left its baseline.
double fitted_curve_level(const LogisticParams& fit, std::size_t cycle_count, Vector& fitted, Vector& bend) {
    fitted.assign_fill(0.0, cycle_count);
    for (std::size_t i = 0; i < cycle_count; ++i) fitted[i] = logistic(fit, static_cast<double>(i + 1));
    bend.copy_from(fitted);
    central_difference(bend);
    central_difference(bend);
    const std::size_t bend_index = std::max<std::size_t>(argmax(bend), kEarliestLevelIndex + kCyclesBeforeBend);
    return fitted[bend_index - kCyclesBeforeBend];
}

}  // namespace

double calc_threshold(WellRecord* records, std::size_t record_count, const Vector& data, std::size_t well_count,
                      std::size_t cycle_count) {
    const Plate plate(data, well_count, cycle_count);
    Vector levels(well_count);
    double sum_sd = 0.0;
    Vector curve;
    Vector fitted;
    Vector bend;
    for (std::size_t w = 0; w < well_count; ++w) {
        WellRecord& record = records[w];
        plate.condition_well(w, record, curve);
        const LogisticFitResult result = fit_sigmoid(curve);
        require_result(result.summary);
        const LogisticParams& fit = result.params;
        record.sigmoid_amplitude = fit.amplitude;
        record.sigmoid_midpoint = fit.midpoint;
        record.sigmoid_steepness = fit.steepness;
        levels[w] = fitted_curve_level(fit, cycle_count, fitted, bend);
        sum_sd += record.baseline_sd;
    }

    // Three candidate levels; the threshold is the lowest, but at least 100.
    // Each "smaller of" keeps its left operand unless the right one is
    // strictly smaller, so a NaN on the right (the noise level of an empty
    // plate) is passed over.
    const double noise_level = sum_sd / static_cast<double>(well_count) * kNoiseFactor;
    double step_level = 0.0;
    for (std::size_t i = 0; i < record_count; ++i)
        if (records[i].baseline_step > step_level) step_level = records[i].baseline_step;
    const double curve_level = levels.empty() ? 0.0 : levels[argmax(levels)];

    const double lower = std::min(step_level, noise_level);
    const double lowest = std::min(lower, curve_level);
    return std::max(lowest, kLowestThreshold);
}

}  // namespace quelmar
