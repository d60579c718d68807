#include "statistics/replicate_stats.h"

#include <cmath>
#include <cstdint>
#include <new>

#include "base/allocator.h"
#include "base/failures.h"
#include "base/messages.h"
#include "maths/maths.h"

namespace quelmar {

ReplicateStats replicate_stats(const Vector& v) {
    const std::size_t n = v.size();
    const double ss = sum_sq_dev(v);
    ReplicateStats s{};
    s.mean = mean(v);
    s.sd = n > 1 ? std::sqrt(ss / static_cast<double>(n - 1)) : std::sqrt(ss);
    s.se = s.sd / std::sqrt(static_cast<double>(n));
    return s;
}

ReplicateStats log_replicate_stats(const Vector& v) {
    Vector logs = v;
    for (double& x : logs) x = maths::log10(x);
    ReplicateStats s = replicate_stats(logs);
    s.mean = maths::pow(10.0, s.mean);
    return s;
}

namespace {

// 2^64: every double at or above it truncates to no 64-bit count.
constexpr double kCountCeiling = 18446744073709551616.0;

// A count that must not reach past the data: at most `limit` after truncation
// toward zero. NaN, values that truncate below zero and values of 2^64 or more
// are refused before they are converted, since converting them would be
// undefined (-0.5 truncates to a count of 0 and is kept).
std::size_t bounded_count(double value, std::size_t limit) {
    if (!(value > -1.0) || !(value < kCountCeiling)) fail_invalid_argument(msg::kBadInput);
    const auto count = static_cast<std::uint64_t>(value);
    if (count > limit) fail_invalid_argument(msg::kBadInput);
    return static_cast<std::size_t>(count);
}

// m must leave g itself inside the data: m + 1 < n.
std::size_t target_count(const Vector& data) {
    if (data.size() < 5) fail_invalid_argument(msg::kBadInput);
    return bounded_count(data[0], data.size() - 2);
}

}  // namespace

ReplicateInput::ReplicateInput(const Vector& data) : ReplicateInput(data, target_count(data)) {}

ReplicateInput::ReplicateInput(const Vector& data, std::size_t m)
    // Every reference gene takes at least its count from the data, so more
    // genes than values left after g cannot be real, and sizing the blocks by
    // such a count would let five doubles claim gigabytes.
    : target_(data.slice(1, 1 + m)), blocks_(bounded_count(data[m + 1], data.size() - m - 2)), total_(m) {
    const std::size_t n = data.size();
    std::size_t p = m + 2;
    for (std::size_t j = 0; j < blocks_.size() && p < n; ++j) {
        const std::size_t c = bounded_count(data[p], n - 1 - p);
        blocks_[j] = data.slice(p + 1, p + 1 + c);
        total_ += c;
        p += 1 + c;
    }
}

namespace {

void put(Vector& summary, std::size_t at, const ReplicateStats& s) noexcept {
    summary[at] = s.mean;
    summary[at + 1] = s.sd;
    summary[at + 2] = s.se;
}

}  // namespace

Vector replicate_summary(std::int32_t data_kind, const ReplicateInput& input) {
    const std::size_t g = input.gene_count();
    if (input.target().empty() || g == 0) fail_invalid_argument(msg::kReplicateGroupEmpty);

    const bool ct_values = data_kind == 1;
    const auto stats = ct_values ? replicate_stats : log_replicate_stats;

    // g is bounded by the input's length, so 3g + 10 cannot overflow.
    Vector summary(3 * g + kSummaryFirstGene);

    const ReplicateStats target = stats(input.target());
    put(summary, kSummaryTarget, target);

    // Quantities square with pow(value, 2.0) throughout, Ct values by a
    // product; the two differ in the last bit for some values.
    const auto square = [ct_values](double v) { return ct_values ? v * v : maths::pow(v, 2.0); };

    double sum_mean = 0.0;
    double sum_sd_sq = 0.0;
    double sum_se_sq = 0.0;
    for (std::size_t j = 0; j < g; ++j) {
        const ReplicateStats gene = stats(input.block(j));
        put(summary, kSummaryFirstGene + 3 * j, gene);
        sum_mean += gene.mean;
        sum_sd_sq += square(gene.sd);
        sum_se_sq += square(gene.se);
    }

    const double genes = static_cast<double>(g);
    ReplicateStats reference{};
    reference.mean = sum_mean / genes;
    reference.sd = std::sqrt(sum_sd_sq / genes);
    reference.se = std::sqrt(sum_se_sq / genes);
    put(summary, kSummaryReference, reference);

    summary[kSummaryCount] = static_cast<double>(input.total_count());
    const double sd = std::sqrt(square(reference.sd) + square(target.sd));
    const double se = std::sqrt(square(reference.se) + square(target.se));
    if (ct_values) {
        summary[kSummaryValue] = target.mean - reference.mean;
        summary[kSummarySd] = sd;
        summary[kSummarySe] = se;
    } else {
        // Quantities: a ratio, and the spreads turned back into factors.
        summary[kSummaryValue] = target.mean / reference.mean;
        summary[kSummarySd] = maths::pow(10.0, sd) - 1.0;
        summary[kSummarySe] = maths::pow(10.0, se);
    }
    return summary;
}

}  // namespace quelmar
