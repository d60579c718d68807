#include "statistics/relative_quantity.h"

#include <cmath>

#include "base/failures.h"
#include "base/messages.h"
#include "maths/maths.h"
#include "statistics/t_table.h"

namespace quelmar {

namespace {

// The counts N the table covers: row 0 is N = 4, two degrees of freedom.
constexpr double kFirstTableCount = 4;
constexpr double kPastTableCount = kFirstTableCount + kTTableRows;

// The product doubles every cycle: a Ct difference d is a quantity ratio of 2^-d.
constexpr double kGrowthPerCycle = 2.0;

}  // namespace

void error_bounds(double count, const RqSettings& options, double* result) {
    // Ct values keep their bounds in the exponent; quantities get a factor.
    const bool exponent = options.data_kind == 1 || options.data_kind2 == 1;
    double f;
    if (options.error_bar_type == 1) {
        // N truncates toward zero into 4 .. 97 exactly when it lies in [4, 98);
        // NaN never does.
        if (!(count >= kFirstTableCount && count < kPastTableCount)) fail_out_of_range(msg::kParameterError);
        if (options.confidence_index < 0 || options.confidence_index >= static_cast<std::int32_t>(kTTableLevels))
            fail_out_of_range(msg::kParameterError);
        const std::size_t row = static_cast<std::size_t>(count) - static_cast<std::size_t>(kFirstTableCount);
        const double t = t_critical_table[row][options.confidence_index];
        if (exponent) {
            const double e = t * result[kRqSe];
            result[kRqLower] = maths::pow(kGrowthPerCycle, -e - result[kRqDeltaDeltaCt]);
            result[kRqUpper] = maths::pow(kGrowthPerCycle, e - result[kRqDeltaDeltaCt]);
            return;
        }
        f = maths::pow(result[kRqSe], t);  // the SE of quantities is already a factor
    } else if (options.error_bar_type == 2) {
        const double k = static_cast<double>(options.sd_multiple);
        if (exponent) {
            const double e = k * result[kRqSd];
            result[kRqLower] = maths::pow(kGrowthPerCycle, -e - result[kRqDeltaDeltaCt]);
            result[kRqUpper] = maths::pow(kGrowthPerCycle, e - result[kRqDeltaDeltaCt]);
            return;
        }
        f = maths::pow(result[kRqSd] + 1.0, k);  // the SD of quantities is a factor minus one
    } else {
        fail_invalid_argument(msg::kErrorBarType);
    }

    // A factor below 1 swaps the two products; a NaN leaves them unordered.
    const double q = result[kRqQuantity];
    const double lower = q / f < q * f ? q / f : q * f;
    const double upper = q * f > q / f ? q * f : q / f;
    result[kRqLower] = lower;
    result[kRqUpper] = upper;
}

void relative_quantity(const RqSettings& options, const Vector& summary, double calibrator, double* result) {
    if (summary.size() < 4) fail_invalid_argument(msg::kBadInput);
    result[kRqValue] = summary[0];
    result[kRqSd] = summary[1];
    result[kRqSe] = summary[2];
    if (options.data_kind == 2 && options.data_kind2 == 2) {
        result[kRqQuantity] = summary[0] / calibrator;
    } else {
        result[kRqDeltaDeltaCt] = summary[0] - calibrator;
        result[kRqQuantity] = maths::pow(kGrowthPerCycle, -result[kRqDeltaDeltaCt]);
    }
    error_bounds(summary[3], options, result);
}

}  // namespace quelmar
