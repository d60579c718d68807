// Exports of the window-of-linearity library (QuelmarAlgWol). They run in
// the boundary's call frame, which maps every failure to its result code;
// the last-error text lives in the frame's state, which each library links
// a copy of, so the two libraries report their failures apart.
#include <cstdint>
#include <cstring>

#include "QuelmarAlgWol.h"
#include "base/allocator.h"
#include "base/block_array.h"
#include "base/failures.h"
#include "base/messages.h"
#include "boundary/call_frame.h"
#include "numeric/vector.h"
#include "window/target_window.h"
#include "window/well_curve.h"

static_assert(WOL_OK == ALG_OK && WOL_ERR_INVALID_ARGUMENT == ALG_ERR_INVALID_ARGUMENT &&
                  WOL_ERR_OUT_OF_RANGE == ALG_ERR_OUT_OF_RANGE && WOL_ERR_FAILURE == ALG_ERR_FAILURE,
              "the call frame's codes are this library's codes");

namespace {

using quelmar::BlockArray;
using quelmar::Vector;
using namespace quelmar::wol;

constexpr char kVersion[] = "1.1.1";
// The ground phase starts at the fourth reading and needs five; a window
// and a plateau need a few more.
constexpr std::size_t kMinCycles = 12;

int32_t cycle_number(std::size_t index) { return static_cast<int32_t>(index + 1); }

WolWell well_record(const WellCurve& w, const WellReading& r) {
    WolWell out{};
    const bool ok = w.reason == WellReason::kOk;
    out.cq = r.cq;
    out.efficiency = r.efficiency;
    out.n0 = r.n0;
    out.baseline_level = w.level;
    out.baseline_slope = w.slope;
    out.plateau = w.plateau;
    out.noise = w.noise;
    const bool ground = w.reason != WellReason::kBadReadings && w.reason != WellReason::kNoAmplification &&
                        w.reason != WellReason::kNoGround;
    out.ground_first = ground ? cycle_number(w.ground_first) : 0;
    out.ground_last = ground ? cycle_number(w.ground_last) : 0;
    out.window_first = ok ? cycle_number(r.window_first) : 0;
    out.window_last = ok ? cycle_number(r.window_last) : 0;
    out.reason = static_cast<int32_t>(w.reason);
    out.in_mean = ok && r.in_mean ? 1 : 0;
    out.still_rising = w.still_rising ? 1 : 0;
    out.baseline_stop = static_cast<int32_t>(w.baseline.stop);
    out.baseline_steps = w.baseline.steps;
    out.ground_passes = w.ground_passes;
    return out;
}

WolTarget target_record(const TargetWindow& t) {
    WolTarget out{};
    out.window_low = t.low;
    out.window_high = t.high;
    out.threshold = t.threshold;
    out.plateau_median = t.plateau_median;
    out.mean_efficiency = t.mean_efficiency;
    out.efficiency_sd = t.efficiency_sd;
    out.window_cv = t.cv;
    out.wells = t.wells;
    out.amplified = t.amplified;
    out.in_window = t.in_window;
    out.in_mean = t.in_mean;
    out.window_stop = static_cast<int32_t>(t.search.stop);
    out.window_steps = t.search.steps;
    out.common_plateau = t.common_plateau ? 1 : 0;
    out.baseline_kept = t.baseline_kept ? 1 : 0;
    return out;
}

void analyse(const double* data, std::size_t well_count, std::size_t cycle_count, const int32_t* targets,
             std::size_t target_count, WolWell* wells, WolTarget* target_results) {
    const Vector plate = Vector::copy_of(data, quelmar::checked_product(well_count, cycle_count));
    if (cycle_count < kMinCycles) quelmar::fail_invalid_argument(quelmar::msg::kWolTooFewCycles);
    if (target_count == 0) quelmar::fail_invalid_argument(quelmar::msg::kWolNoTargets);
    for (std::size_t w = 0; w < well_count; ++w)
        if (targets[w] < 0 || static_cast<std::size_t>(targets[w]) >= target_count)
            quelmar::fail_out_of_range(quelmar::msg::kWolTargetIndex);

    // Each target's wells, in well order, read and then analysed together.
    BlockArray<WellCurve> curves(well_count);
    BlockArray<WellReading> readings(well_count);
    BlockArray<TargetWindow> windows(target_count);
    BlockArray<std::size_t> indices(well_count);
    BlockArray<WellCurve*> members(well_count);
    BlockArray<WellReading> member_readings(well_count);
    for (std::size_t t = 0; t < target_count; ++t) {
        std::size_t n = 0;
        for (std::size_t w = 0; w < well_count; ++w)
            if (static_cast<std::size_t>(targets[w]) == t) indices[n] = w, members[n++] = &curves[w];
        for (std::size_t k = 0; k < n; ++k) curves[indices[k]] = read_well(plate.data() + indices[k] * cycle_count, cycle_count);
        const bool removed = baseline_removed(plate.data(), cycle_count, indices.data(), members.data(), n);
        if (removed)
            for (std::size_t k = 0; k < n; ++k)
                curves[indices[k]] =
                    read_well(plate.data() + indices[k] * cycle_count, cycle_count, BaselineSource::kKeptZero);
        windows[t] = analyse_target(members.data(), member_readings.data(), n);
        windows[t].baseline_kept = removed;
        for (std::size_t k = 0; k < n; ++k) readings[indices[k]] = member_readings[k];
    }

    for (std::size_t w = 0; w < well_count; ++w) wells[w] = well_record(curves[w], readings[w]);
    for (std::size_t t = 0; t < target_count; ++t) target_results[t] = target_record(windows[t]);
}

}  // namespace

extern "C" {

QUELMARWOL_API const char* wol_last_error(void) { return quelmar::last_error_text(); }

QUELMARWOL_API const char* wol_version(void) { return kVersion; }

QUELMARWOL_API int wol_analyse(const double* data, size_t wellCount, size_t cycleCount, const int32_t* targets,
                               size_t targetCount, WolWell* wells, WolTarget* targetResults) {
    return quelmar::call_frame([&] { analyse(data, wellCount, cycleCount, targets, targetCount, wells, targetResults); });
}

}  // extern "C"
