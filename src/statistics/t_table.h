// Critical values of Student's t for the confidence intervals of relative
// quantities.
#pragma once

#include <cstddef>

namespace quelmar {

inline constexpr std::size_t kTTableRows = 94;   // 2 .. 95 degrees of freedom
inline constexpr std::size_t kTTableLevels = 6;  // 95, 97, 99, 99.5, 99.7, 99.9 %

// Row r: r + 2 degrees of freedom; column c: the (1 + level) / 2 quantile for
// the c-th two-sided confidence level. Read-only data.
extern const double t_critical_table[kTTableRows][kTTableLevels];

}  // namespace quelmar
