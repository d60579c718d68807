// Relative quantity of a sample against a calibrator, with error bounds from
// a Student-t confidence interval or a multiple of the standard deviation.
#pragma once

#include <cstdint>

#include "numeric/vector.h"

namespace quelmar {

// How the quantity and its bounds are formed: the host's RqOptions.
struct RqSettings {
    std::int32_t data_kind;         // 1 = Ct values, anything else = quantities
    std::int32_t data_kind2;        // a second kind code
    std::int32_t error_bar_type;    // 1 = Student-t confidence interval, 2 = multiple of the SD
    std::int32_t confidence_index;  // 0..5 = 95, 97, 99, 99.5, 99.7, 99.9 %
    std::int32_t sd_multiple;       // the multiple of the SD for error_bar_type 2
};

// The seven doubles of a relative-quantification result.
inline constexpr int kRqValue = 0;  // summary value (difference or ratio)
inline constexpr int kRqSd = 1;
inline constexpr int kRqSe = 2;
inline constexpr int kRqQuantity = 3;
inline constexpr int kRqLower = 4;
inline constexpr int kRqUpper = 5;
inline constexpr int kRqDeltaDeltaCt = 6;  // written only when RQ is not a ratio

// Fills result[4] and result[5] from result[1], [2], [3] and [6].
// error_bar_type 1: a confidence interval with N - 2 degrees of freedom, N
// the count truncated toward zero; an N outside 4 .. 97 (or a NaN count) or
// a confidence_index outside 0 .. 5 raises std::out_of_range "参数错误。".
// error_bar_type 2: sd_multiple standard deviations. Any other type raises
// std::invalid_argument "误差条类型参数不正确。" before the other tests.
// Writes nothing on failure.
void error_bounds(double count, const RqSettings& options, double* result);

// Writes result[0 .. 3] (and result[6] unless RQ is a ratio) and then the
// bounds. On a failure of the bounds the values already written stay.
// Fewer than four summary values raise std::invalid_argument "输入参数错误。"
// before anything is written.
void relative_quantity(const RqSettings& options, const Vector& summary, double calibrator, double* result);

}  // namespace quelmar
