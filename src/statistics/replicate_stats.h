// Replicate statistics of a target gene and its reference (housekeeping)
// genes: the summary that relative quantification starts from.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/block_array.h"
#include "numeric/vector.h"

namespace quelmar {

// Mean, sample standard deviation and standard error of one gene's values.
struct ReplicateStats {
    double mean;
    double sd;
    double se;
};

// sd divides by size - 1 (a single value has sd 0); an empty vector gives a
// NaN mean and se and an sd of 0.
ReplicateStats replicate_stats(const Vector& v);

// Statistics of the base-10 logarithms; the mean is reported as the geometric
// mean 10^mean, sd and se stay in log10 units.
ReplicateStats log_replicate_stats(const Vector& v);

// The packed replicate input, unpacked: m, the m target values, g, then g
// blocks of (c_j, c_j values), every count stored as a double and truncated
// toward zero.
//
// Rejects with std::invalid_argument "输入参数错误。" fewer than five doubles
// and every count that is negative (after truncation), not a number, or
// reaches past the data, so nothing is ever read outside it. A huge g is no
// read hazard; it runs out of storage instead (std::bad_alloc or
// std::bad_array_new_length).
class ReplicateInput {
public:
    explicit ReplicateInput(const Vector& data);

    const Vector& target() const noexcept { return target_; }
    std::size_t gene_count() const noexcept { return blocks_.size(); }
    // Block j; blocks that the data no longer reached stay empty.
    const Vector& block(std::size_t j) const noexcept { return blocks_[j]; }
    // N: the target values plus the values of every block read.
    std::size_t total_count() const noexcept { return total_; }

private:
    ReplicateInput(const Vector& data, std::size_t target_count);

    Vector target_;
    BlockArray<Vector> blocks_;
    std::size_t total_;
};

// Layout of the ReplicateSummary, 3g + 10 doubles.
inline constexpr std::size_t kSummaryValue = 0;  // target - reference, or their ratio
inline constexpr std::size_t kSummarySd = 1;     // combined SD (quantities: a factor minus one)
inline constexpr std::size_t kSummarySe = 2;     // combined SE (quantities: a factor)
inline constexpr std::size_t kSummaryCount = 3;  // N
// Then mean, SD, SE of the target, the combined reference and each gene.
inline constexpr std::size_t kSummaryTarget = 4;
inline constexpr std::size_t kSummaryReference = 7;
inline constexpr std::size_t kSummaryFirstGene = 10;

// dataKind 1: Ct values, averaged and subtracted. Any other kind: quantities,
// whose statistics are taken on log10 values and which are divided. No
// target value or no reference gene raises std::invalid_argument
// "数据格式有误，靶标基因或管家基因为空。".
Vector replicate_summary(std::int32_t data_kind, const ReplicateInput& input);

}  // namespace quelmar
