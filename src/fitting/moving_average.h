#pragma once

#include "numeric/vector.h"

namespace quelmar {

// Centred moving average over +-half_window readings, in place. Readings
// outside the curve are skipped, so the ends average fewer readings. Every
// average reads the values as they were on entry. A negative half_window
// leaves every window empty, and every element becomes 0/0 (NaN).
void moving_average(Vector& v, int half_window);

}  // namespace quelmar
