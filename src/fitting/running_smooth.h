#pragma once

#include "numeric/vector.h"

namespace quelmar {

// Smooths v in place with three passes of a running five-point window. At
// each window position, one after the other on the same five samples:
// isolated local extremes are replaced by the mean of their neighbours, the
// window is replaced by its least-squares parabola, and a single step whose
// slope is out of line with its neighbours is evened out. Each position
// starts from what the previous one left, so the smoothing carries along the
// curve. The last sample is never inside a window and curves of fewer than
// six samples come back unchanged.
void running_smooth(Vector& v);

}  // namespace quelmar
