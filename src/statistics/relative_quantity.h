// Relative quantity of a sample against a calibrator, with error bounds from
// a Student-t confidence interval or a multiple of the standard deviation.
#pragma once

#include <cstdint>

#include "QuelmarAlg.h"
#include "numeric/vector.h"

namespace quelmar {

// The seven doubles of a relative-quantification result.
inline constexpr int kRqValue = 0;  // summary value (difference or ratio)
inline constexpr int kRqSd = 1;
inline constexpr int kRqSe = 2;
inline constexpr int kRqQuantity = 3;
inline constexpr int kRqLower = 4;
inline constexpr int kRqUpper = 5;
inline constexpr int kRqDeltaDeltaCt = 6;  // written only when RQ is not a ratio

// Fills result[4] and result[5] from result[1], [2], [3] and [6].
// errorBarType 1: a confidence interval with n_values - 2 degrees of freedom;
// n_values outside 4 .. 97 or a confidenceIndex outside 0 .. 5 raises
// std::out_of_range "参数错误。". errorBarType 2: sdMultiple standard
// deviations. Any other type raises std::invalid_argument
// "误差条类型参数不正确。" before the other tests. Writes nothing on failure.
void error_bounds(std::uint64_t n_values, const RqOptions& options, double* result);

// Writes result[0 .. 3] (and result[6] unless RQ is a ratio) and then the
// bounds. On a failure of the bounds the values already written stay.
// Fewer than four summary values raise std::invalid_argument "输入参数错误。"
// before anything is written.
void relative_quantity(const RqOptions& options, const Vector& summary, double calibrator, double* result);

}  // namespace quelmar
