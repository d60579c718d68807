// Baseline correction of one well's amplification curve.
#pragma once

#include "amplification/record.h"
#include "numeric/vector.h"

namespace quelmar {

// The five weights of the amplification filter, leaning on earlier cycles:
// out[i] = 0.45 v[i-2] + 0.25 v[i-1] + 0.15 v[i] + 0.1 v[i+1] + 0.05 v[i+2].
// Made afresh on each call: a shared static would need a guarded (locking)
// first initialisation, and the library takes no locks.
Vector amplification_kernel();

// Turns a smoothed amplification curve into a baseline-corrected one that
// starts near zero, rises through the baseline as an ideal doubling per
// cycle, never drops below 0.01 after the baseline and stays at its maximum
// after its peak. Fills the record's baseline window, noise, slope and
// quality flags (flags are set, never cleared; a host-chosen window is
// kept). A window outside the curve, or one that the correction cannot
// finish, is refused (std::out_of_range, or std::range_error for a start
// after the end) with the fields written so far kept and the curve unchanged.
void correct_baseline(WellRecord& record, Vector& curve);

}  // namespace quelmar
