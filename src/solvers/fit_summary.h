// What a damped least-squares fit reports besides its parameters: why it
// stopped, how many damped steps it solved, and its cost (half the sum of the
// squared residuals) at the start and at the result.
#pragma once

#include "base/failures.h"
#include "base/messages.h"
#include "numeric/vector.h"

namespace quelmar {

enum class FitStop {
    kSmallGradient,   // converged by gradient: J^T r at most the tolerance (the peak fit)
    kSmallStep,       // converged by step: a damped step too small to move the parameters (the peak fit)
    kSmallResidual,   // converged by cost: a residual norm below the tolerance (the logistic fit)
    kNoDescent,       // a step that does not lower the cost, which the peak fit would repeat unchanged
                      // until its iteration limit: the same result as the limit, reached early
    kDampingLimit,    // the damping grew past its limit (the logistic fit)
    kIterationLimit,  // the iteration limit
    kSingularSystem,  // damped normal equations that cannot be solved: no result
};

struct FitSummary {
    FitStop stop;
    int iterations;       // damped steps solved, the last one included
    double initial_cost;  // at the starting parameters
    double final_cost;    // at the result (at the last parameters reached for a singular system)
};

// The cost of a residual r: half the sum of its squares.
inline double fit_cost(const Vector& r) { return 0.5 * dot(r, r); }

// A fit that ended on a singular system has no result. Its callers refuse it
// the way the arithmetic would: the failed inversion leaves the n x 2n
// intermediate, whose product with the n elements of the gradient is refused
// by its shape (ALG_ERR_INVALID_ARGUMENT).
inline void require_result(const FitSummary& summary) {
    if (summary.stop == FitStop::kSingularSystem) fail_invalid_argument(msg::kMatrixVectorShape);
}

}  // namespace quelmar
