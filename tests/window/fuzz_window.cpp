// Fuzz target of wol_analyse: any plate, target indices and counts. It
// checks what the header promises: a known result code, the last error
// empty exactly on success, caller arrays untouched on failure and nothing
// written past them, and on success records that keep their own rules (a
// well with a number has all three and a window of at least three cycles
// after its ground phase; a well without one says why; counts that add up;
// a target that keeps its readings' removed baseline has it zero in every
// well).
#include <cmath>
#include <cstring>
#include <vector>

#include "QuelmarAlgWol.h"
#include "fuzz_input.h"

namespace {

constexpr unsigned char kFill = 0xA5;

template <class T>
bool untouched(const std::vector<T>& v, std::size_t from) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(v.data());
    for (std::size_t i = from * sizeof(T); i < v.size() * sizeof(T); ++i)
        if (b[i] != kFill) return false;
    return true;
}

void check_well(const WolWell& w, std::size_t cycles) {
    FUZZ_REQUIRE(w.reason >= WOL_WELL_OK && w.reason <= WOL_WELL_NO_PLATEAU);
    const bool number = std::isfinite(w.cq) && std::isfinite(w.efficiency) && !std::isnan(w.n0);
    FUZZ_REQUIRE(number == (w.reason == WOL_WELL_OK));
    if (w.reason != WOL_WELL_OK) {
        FUZZ_REQUIRE(w.in_mean == 0 && w.window_first == 0 && w.window_last == 0);
        return;
    }
    FUZZ_REQUIRE(w.ground_first >= 1 && w.ground_first < w.ground_last && w.ground_last < w.window_first);
    FUZZ_REQUIRE(w.window_first + 2 <= w.window_last && w.window_last < static_cast<int32_t>(cycles));
    FUZZ_REQUIRE(w.cq >= w.window_last && w.cq <= w.window_last + 1);
    FUZZ_REQUIRE(w.efficiency > 0);
    FUZZ_REQUIRE(w.baseline_stop >= WOL_STOP_CONVERGED && w.baseline_stop <= WOL_STOP_SKIPPED);
    FUZZ_REQUIRE(w.ground_passes >= 1 && w.ground_passes <= 5);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input in(data, size);
    const size_t wells = in.count(0, 24), cycles = in.count(0, 60), target_count = in.count(0, 3);
    const fuzz::V plate = in.values(wells * cycles);
    std::vector<int32_t> targets(wells);
    for (int32_t& t : targets) t = in.byte() < 250 ? static_cast<int32_t>(in.count(0, target_count ? target_count - 1 : 0))
                                                   : static_cast<int32_t>(in.count(0, 0xFFFF)) - 0x8000;
    // One record more than asked for on each side, to see nothing is written past.
    std::vector<WolWell> out_wells(wells + 1);
    std::vector<WolTarget> out_targets(target_count + 1);
    std::memset(out_wells.data(), kFill, out_wells.size() * sizeof(WolWell));
    std::memset(out_targets.data(), kFill, out_targets.size() * sizeof(WolTarget));

    const int rc = wol_analyse(plate.data(), wells, cycles, targets.data(), target_count, out_wells.data(),
                               out_targets.data());
    FUZZ_REQUIRE(rc == WOL_OK || rc == WOL_ERR_INVALID_ARGUMENT || rc == WOL_ERR_OUT_OF_RANGE || rc == WOL_ERR_FAILURE);
    FUZZ_REQUIRE((rc == WOL_OK) == (wol_last_error()[0] == '\0'));
    FUZZ_REQUIRE(untouched(out_wells, rc == WOL_OK ? wells : 0));
    FUZZ_REQUIRE(untouched(out_targets, rc == WOL_OK ? target_count : 0));
    if (rc != WOL_OK) return 0;
    FUZZ_REQUIRE(cycles >= 12 && target_count > 0);
    std::vector<int> members(target_count), numbered(target_count);
    for (size_t w = 0; w < wells; ++w) {
        check_well(out_wells[w], cycles);
        // A kept baseline is zero in every well with readings to read.
        if (out_targets[targets[w]].baseline_kept && out_wells[w].reason != WOL_WELL_BAD_READINGS)
            FUZZ_REQUIRE(out_wells[w].baseline_level == 0 && out_wells[w].baseline_slope == 0);
        ++members[targets[w]];
        if (out_wells[w].reason == WOL_WELL_OK) ++numbered[targets[w]];
    }
    for (size_t t = 0; t < target_count; ++t) {
        const WolTarget& r = out_targets[t];
        FUZZ_REQUIRE(r.wells == members[t] && r.in_window == numbered[t]);
        FUZZ_REQUIRE(r.in_mean <= r.in_window && r.in_window <= r.amplified && r.amplified <= r.wells);
        FUZZ_REQUIRE(r.reserved[0] == 0 && r.reserved[1] == 0);
        FUZZ_REQUIRE(r.common_plateau == 0 || r.common_plateau == 1);
        FUZZ_REQUIRE(r.baseline_kept == 0 || r.baseline_kept == 1);
        if (r.in_window > 0) FUZZ_REQUIRE(r.window_low < r.window_high && r.threshold == r.window_high);
    }
    return 0;
}
