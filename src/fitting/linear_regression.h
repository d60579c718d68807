#pragma once

#include "numeric/vector.h"

namespace quelmar {

// A least-squares line y = slope * x + intercept with its fit quality.
// Handed to the host as four consecutive doubles in this order.
struct LinearFit {
    double slope;
    double intercept;
    double rms_residual;  // sqrt(SSE / n): divided by n, not n - 2
    double r_squared;     // 1 - SSE / SST
};

// Degenerate data is not an error: the quotients follow IEEE arithmetic
// (empty input gives NaN everywhere). Unequal lengths are refused.
LinearFit linear_regression(const Vector& x, const Vector& y);

}  // namespace quelmar
