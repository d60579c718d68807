// Long runs against MPFR, beyond what CI's test (tests/maths/mpfr_test.cpp)
// can afford, with the same ranges and comparison (tests/maths):
//
//   maths_mpfr --campaign N [--seed S] [--threads T] [--function NAME] [--libm]
//
// checks N arguments per function, spread evenly over the function's ranges
// (argument_ranges.h), on T threads, and prints per range and per function
// the arguments tried, the misrounded ones (with examples) and the time.
// --libm checks the C library's functions instead of the library's
// (tools/maths_campaign.sh runs it at the lowest priority).
//
//   maths_mpfr --find-hard-cases FUNCTION COUNT MIN_BITS MAX_BITS [--seed S] [--in A B]
//
// prints COUNT arguments from the function's ranges (or x uniform in [A, B]
// for exp, log, log10 and sin) whose exact result lies next to a midpoint
// between two doubles, with MIN_BITS to MAX_BITS identical bits after the
// round bit (as in tests/maths/hard_cases/*_near_midpoint.txt).
//
//   maths_mpfr --check-hard-cases
//
// checks that every case of tests/maths/hard_cases is as hard as its list
// says (a test in CI).
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "argument_ranges.h"
#include "mpfr_check.h"

namespace maths_test {
namespace {

double c_library(Function f, Args a) {
    switch (f) {
        case Function::kExp: return std::exp(a.x);
        case Function::kLog: return std::log(a.x);
        case Function::kLog10: return std::log10(a.x);
        case Function::kPow: return std::pow(a.x, a.y);
        case Function::kSin: return std::sin(a.x);
    }
    return NAN;
}

// Arguments per work item; every item has its own stream, so the arguments
// do not depend on the number of threads.
constexpr std::uint64_t kBlock = 1 << 16;
// A seed other than the CI one, so that a campaign adds new arguments.
constexpr std::uint64_t kCampaignSeed = 0xC0FFEE5EED;
constexpr std::uint64_t kDefaultCampaignCount = 100000000;
constexpr int kProgressSeconds = 60;

struct CampaignOptions {
    std::uint64_t per_function = kDefaultCampaignCount;
    std::uint64_t seed = kCampaignSeed;
    unsigned threads = 2;
    std::string only;  // one function's name, or every function
    bool libm = false;
};

struct Item {
    std::size_t range;
    std::uint64_t block;
    std::uint64_t count;
};

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The blocks of every range of f, each range getting its share of `total`.
std::vector<Item> work_for(Function f, std::uint64_t total) {
    std::vector<std::size_t> ranges;
    for (std::size_t i = 0; i < kRangeCount; ++i)
        if (kRanges[i].function == f) ranges.push_back(i);
    std::vector<Item> items;
    if (ranges.empty()) return items;
    const std::uint64_t per_range = (total + ranges.size() - 1) / ranges.size();
    for (std::size_t r : ranges)
        for (std::uint64_t done = 0, block = 0; done < per_range; done += kBlock, ++block)
            items.push_back({r, block, per_range - done < kBlock ? per_range - done : kBlock});
    return items;
}

struct FunctionResult {
    Tally total;
    double seconds = 0;
};

// Runs the items on the threads, reporting progress now and then on stderr.
FunctionResult run_items(Function f, const std::vector<Item>& items, const CampaignOptions& o,
                         std::vector<Tally>& per_range) {
    const Candidate candidate = o.libm ? c_library : library;
    std::atomic<std::size_t> next{0};
    std::atomic<std::uint64_t> checked{0};
    std::mutex merge;
    const auto worker = [&] {
        std::vector<Tally> mine(kRangeCount);
        {
            Reference reference;
            for (std::size_t i; (i = next.fetch_add(1)) < items.size();) {
                const Item& it = items[i];
                check_block(it.range, o.seed, it.block, it.count, candidate, reference, mine[it.range]);
                checked += it.count;
            }
        }
        // MPFR caches its constants per thread; they would be lost, not
        // freed, when the thread ends.
        mpfr_free_cache2(MPFR_FREE_LOCAL_CACHE);
        const std::lock_guard<std::mutex> lock(merge);
        for (std::size_t r = 0; r < kRangeCount; ++r) per_range[r].add(mine[r]);
    };
    std::uint64_t planned = 0;
    for (const Item& it : items) planned += it.count;

    const Clock::time_point start = Clock::now();
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < o.threads; ++t) threads.emplace_back(worker);
    for (auto last = start; next.load() < items.size();) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        if (seconds_since(last) >= kProgressSeconds) {
            last = Clock::now();
            std::fprintf(stderr, "  %s: %" PRIu64 " of %" PRIu64 " arguments, %.0f s\n", function_name(f),
                         checked.load(), planned, seconds_since(start));
        }
    }
    for (std::thread& t : threads) t.join();

    FunctionResult result;
    result.seconds = seconds_since(start);
    for (std::size_t r = 0; r < kRangeCount; ++r)
        if (kRanges[r].function == f) result.total.add(per_range[r]);
    return result;
}

int run_campaign(const CampaignOptions& o) {
    static const Function kFunctions[] = {Function::kExp, Function::kLog, Function::kLog10, Function::kPow,
                                          Function::kSin};
    std::printf("campaign: %" PRIu64 " arguments per function, seed 0x%" PRIx64 ", %u threads, %s\n",
                o.per_function, o.seed, o.threads, o.libm ? "the C library's functions" : "the library's functions");
    std::vector<Tally> per_range(kRangeCount);
    std::vector<std::pair<Function, FunctionResult>> results;
    for (Function f : kFunctions) {
        if (!o.only.empty() && o.only != function_name(f)) continue;
        const FunctionResult result = run_items(f, work_for(f, o.per_function), o, per_range);
        for (std::size_t r = 0; r < kRangeCount; ++r) {
            if (kRanges[r].function != f) continue;
            std::printf("  %-26s %11" PRIu64 " arguments %9" PRIu64 " misrounded   %s\n", kRanges[r].name,
                        per_range[r].tried, per_range[r].misrounded, kRanges[r].description);
            for (const Miss& m : per_range[r].examples) std::printf("      %s\n", describe(m).c_str());
        }
        std::printf("%-6s %11" PRIu64 " arguments %9" PRIu64 " misrounded %9.1f s\n", function_name(f),
                    result.total.tried, result.total.misrounded, result.seconds);
        std::fflush(stdout);
        results.emplace_back(f, result);
    }
    std::printf("\n%-8s %12s %12s %10s %12s\n", "function", "arguments", "misrounded", "seconds", "core-us/arg");
    std::uint64_t misrounded = 0;
    for (const auto& [f, r] : results) {
        std::printf("%-8s %12" PRIu64 " %12" PRIu64 " %10.1f %12.3f\n", function_name(f), r.total.tried,
                    r.total.misrounded, r.seconds, r.total.tried ? r.seconds * 1e6 / r.total.tried * o.threads : 0.0);
        misrounded += r.total.misrounded;
    }
    return misrounded == 0 ? 0 : 1;
}

// ---------------------------------------------------------------------------
// How hard f(a) is to round: the number of identical bits after the round
// bit of the exact value, where the 53-bit significand ends, and whether
// the value lies next to a midpoint between two doubles (round bit 1 then
// zeros, or 0 then ones: hard to round to nearest) or next to a double
// (hard for the directed roundings only). A result that is a double or a
// midpoint counts as kExactHardness. Computed at `precision` bits, which
// bounds what can be seen, on the 53-bit significand whatever the exponent
// (the published lists count so; below 2^-1022 a double has fewer bits);
// 0 for zeros, infinities and NaN.
constexpr int kExactHardness = 1 << 20;

struct Hardness {
    int bits = 0;
    bool near_midpoint = false;
};

Hardness hardness(Function f, Args a, mpfr_prec_t precision) {
    mpfr_t x, y, z, frac, to_midpoint;
    mpfr_inits2(precision, x, y, z, frac, to_midpoint, static_cast<mpfr_ptr>(nullptr));
    const mpfr_exp_t emin = mpfr_get_emin(), emax = mpfr_get_emax();
    mpfr_set_emin(mpfr_get_emin_min());
    mpfr_set_emax(mpfr_get_emax_max());
    const int ternary = mpfr_value(f, a, z, x, y);
    Hardness h;
    if (mpfr_regular_p(z)) {
        // |z| * 2^(53 - e) has the significand as its integer part; its
        // fraction starts with the round bit. Its distance to 1/2 (a
        // midpoint) or to 0 or 1 (a double) below 2^-(k + 1) means k
        // identical bits after the round bit.
        mpfr_abs(z, z, MPFR_RNDN);
        mpfr_mul_2si(z, z, 53 - mpfr_get_exp(z), MPFR_RNDN);
        mpfr_frac(frac, z, MPFR_RNDN);
        mpfr_sub_d(to_midpoint, frac, 0.5, MPFR_RNDN);
        mpfr_abs(to_midpoint, to_midpoint, MPFR_RNDN);
        if (mpfr_cmp_d(frac, 0.5) > 0) mpfr_ui_sub(frac, 1, frac, MPFR_RNDN);  // now the distance to a double
        h.near_midpoint = mpfr_cmp(to_midpoint, frac) < 0;
        mpfr_ptr distance = h.near_midpoint ? to_midpoint : frac;
        if (mpfr_zero_p(distance))
            h.bits = ternary == 0 ? kExactHardness : static_cast<int>(precision) - 54;
        else
            h.bits = static_cast<int>(-mpfr_get_exp(distance)) - 1;
    }
    mpfr_set_emin(emin);
    mpfr_set_emax(emax);
    mpfr_clears(x, y, z, frac, to_midpoint, static_cast<mpfr_ptr>(nullptr));
    return h;
}

// Every case of the lists as hard as its list says, so that a typo cannot
// turn one into an easy case unnoticed: prints per list the easiest case's
// bits and how many lie next to a midpoint; 1 when a case falls short.
int check_hard_cases() {
    int status = 0;
    for (const CaseFile& file : kCaseFiles) {
        std::vector<std::string> bad;
        const std::vector<Args> cases = read_cases(file, bad);
        for (const std::string& line : bad) std::printf("%s\n", line.c_str());
        int easiest = kExactHardness;
        std::size_t near_midpoint = 0;
        for (const Args& a : cases) {
            const Hardness h = hardness(file.function, a, 320);
            easiest = std::min(easiest, h.bits);
            near_midpoint += h.near_midpoint;
            if (h.bits < file.min_identical_bits || (file.near_midpoints_only && !h.near_midpoint)) {
                std::printf("%s: %s(%a, %a) is not as hard as the list says: %d bits%s\n", file.file,
                            function_name(file.function), a.x, a.y, h.bits, h.near_midpoint ? "" : ", next to a double");
                status = 1;
            }
        }
        std::printf("%s: %zu hard cases, each with at least %d identical bits after the round bit, %zu of them next "
                    "to a midpoint (hard to round to nearest)\n", file.file, cases.size(), easiest, near_midpoint);
        if (!bad.empty() || cases.empty()) status = 1;
    }
    return status;
}

// ---------------------------------------------------------------------------
// The search for arguments next to a midpoint. A long double value of the
// function (64-bit significand on x86) shows 11 bits past a double's
// significand, which read 10000000000 next to a midpoint, give or take the
// long double function's own error: only those candidates are checked with
// MPFR, about one in 300.

constexpr std::uint64_t kSearchSeed = 0x5EA4C;
constexpr std::uint64_t kMidpointPattern = 0x400;  // 1 then ten zeros
constexpr std::uint64_t kPatternMask = 0x7FF;
constexpr std::uint64_t kPatternSlack = 3;
constexpr mpfr_prec_t kSearchPrecision = 200;
// A range whose results are rarely normal doubles near a midpoint (random
// pairs for pow: mostly overflow, underflow or NaN) is left after this many.
constexpr std::uint64_t kSearchLimitPerRange = 1000000000;

long double long_double_value(Function f, Args a) {
    const long double x = a.x;
    switch (f) {
        case Function::kExp: return std::exp(x);
        case Function::kLog: return std::log(x);
        case Function::kLog10: return std::log10(x);
        case Function::kPow: return std::pow(x, static_cast<long double>(a.y));
        case Function::kSin: return std::sin(x);
    }
    return 0;
}

bool may_lie_next_to_a_midpoint(Function f, Args a) {
    if (std::numeric_limits<long double>::digits != 64) return true;  // no filter: MPFR on everything
    const long double v = long_double_value(f, a);
    if (!std::isfinite(v) || v == 0) return false;
    int exponent = 0;
    const long double m = std::frexp(std::fabs(v), &exponent);
    if (exponent < -1020 || exponent > 1024) return false;
    const auto significand = static_cast<std::uint64_t>(std::ldexp(m, 64));
    const std::uint64_t low = significand & kPatternMask;
    return (low > kMidpointPattern ? low - kMidpointPattern : kMidpointPattern - low) <= kPatternSlack;
}

// One search: arguments from `draw` until `wanted` are found (or the
// limit); prints each new one with the name of where it came from.
template <typename Draw>
void search(Function f, const char* where, std::uint64_t wanted, int min_bits, int max_bits, Draw draw,
            std::set<std::pair<double, double>>& found) {
    std::uint64_t tried = 0, here = 0;
    while (here < wanted && tried < kSearchLimitPerRange) {
        const Args a = draw();
        if (++tried % 100000000 == 0)
            std::fprintf(stderr, "  %s: %" PRIu64 " arguments, %" PRIu64 " found\n", where, tried, here);
        if (!may_lie_next_to_a_midpoint(f, a)) continue;
        const Hardness h = hardness(f, a, kSearchPrecision);
        if (!h.near_midpoint || h.bits < min_bits || h.bits > max_bits) continue;
        if (!found.insert({a.x, a.y}).second) continue;
        ++here;
        if (f == Function::kPow)
            std::printf("%a %a  # %s, %d bits\n", a.x, a.y, where, h.bits);
        else
            std::printf("%a  # %s, %d bits\n", a.x, where, h.bits);
        std::fflush(stdout);
    }
    std::fprintf(stderr, "  %s: %" PRIu64 " arguments tried\n", where, tried);
}

// COUNT cases, shared evenly among the function's ranges, or all from
// [lo, hi] when that is given (lo < hi).
int find_hard_cases(Function f, std::uint64_t count, int min_bits, int max_bits, std::uint64_t seed, double lo,
                    double hi) {
    std::printf("# found by maths_mpfr --find-hard-cases %s %" PRIu64 " %d %d --seed 0x%" PRIx64,
                function_name(f), count, min_bits, max_bits, seed);
    std::set<std::pair<double, double>> found;
    if (lo < hi) {
        std::printf(" --in %a %a\n", lo, hi);
        Rng rng(seed);
        char where[80];
        std::snprintf(where, sizeof where, "x in [%a, %a]", lo, hi);
        search(f, where, count, min_bits, max_bits, [&] { return Args{rng.uniform(lo, hi), 0}; }, found);
        return 0;
    }
    std::printf("\n");
    std::vector<std::size_t> ranges;
    for (std::size_t i = 0; i < kRangeCount; ++i)
        if (kRanges[i].function == f) ranges.push_back(i);
    const std::uint64_t per_range = (count + ranges.size() - 1) / ranges.size();
    for (std::size_t r : ranges) {
        Rng rng(seed, r, 0);
        search(f, kRanges[r].name, per_range, min_bits, max_bits, [&] { return kRanges[r].draw(rng); }, found);
    }
    return 0;
}

bool parse_count(const char* text, std::uint64_t& out) {
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text, &end);  // accepts 1e8 as well as 100000000
    if (errno != 0 || end == text || *end != '\0' || !(value >= 1 && value <= 1e15)) return false;
    out = static_cast<std::uint64_t>(value);
    return true;
}

bool parse_seed(const char* text, std::uint64_t& out) {
    char* end = nullptr;
    errno = 0;
    out = std::strtoull(text, &end, 0);
    return errno == 0 && end != text && *end == '\0';
}

int usage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s --campaign N [--seed S] [--threads T] [--function exp|log|log10|pow|sin] [--libm]\n"
                 "       %s --find-hard-cases exp|log|log10|pow|sin COUNT MIN_BITS MAX_BITS [--seed S] [--in A B]\n"
                 "       %s --check-hard-cases\n",
                 program, program, program);
    return 2;
}

bool function_named(const std::string& name, Function& f) {
    for (Function candidate : {Function::kExp, Function::kLog, Function::kLog10, Function::kPow, Function::kSin})
        if (name == function_name(candidate)) {
            f = candidate;
            return true;
        }
    return false;
}

}  // namespace
}  // namespace maths_test

int main(int argc, char** argv) {
    using namespace maths_test;
    bool campaign = false;
    bool search = false;
    Function search_function = Function::kExp;
    std::uint64_t search_count = 0, min_bits = 0, max_bits = 0;
    bool seed_given = false;
    double search_lo = 0, search_hi = 0;
    CampaignOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--find-hard-cases") {
            search = true;
            if (i + 4 >= argc || !function_named(argv[i + 1], search_function) || !parse_count(argv[i + 2], search_count) ||
                !parse_count(argv[i + 3], min_bits) || !parse_count(argv[i + 4], max_bits) || min_bits > max_bits ||
                max_bits > 150)
                return usage(argv[0]);
            i += 4;
        } else if (arg == "--in") {
            char* end_lo = nullptr;
            char* end_hi = nullptr;
            if (i + 2 >= argc) return usage(argv[0]);
            search_lo = std::strtod(argv[i + 1], &end_lo);
            search_hi = std::strtod(argv[i + 2], &end_hi);
            if (*end_lo != '\0' || *end_hi != '\0' || !(search_lo < search_hi)) return usage(argv[0]);
            i += 2;
        } else if (arg == "--campaign") {
            campaign = true;
            if (!has_value || !parse_count(argv[++i], options.per_function)) return usage(argv[0]);
        } else if (arg == "--seed") {
            if (!has_value || !parse_seed(argv[++i], options.seed)) return usage(argv[0]);
            seed_given = true;
        } else if (arg == "--threads") {
            std::uint64_t threads = 0;
            if (!has_value || !parse_count(argv[++i], threads) || threads > 64) return usage(argv[0]);
            options.threads = static_cast<unsigned>(threads);
        } else if (arg == "--function") {
            if (!has_value) return usage(argv[0]);
            options.only = argv[++i];
        } else if (arg == "--libm") {
            options.libm = true;
        } else if (arg == "--check-hard-cases" && argc == 2) {
            return check_hard_cases();
        } else {
            return usage(argv[0]);
        }
    }
    if (search)
        return search_function == Function::kPow && search_lo < search_hi
                   ? usage(argv[0])
                   : find_hard_cases(search_function, search_count, static_cast<int>(min_bits),
                                     static_cast<int>(max_bits), seed_given ? options.seed : kSearchSeed, search_lo,
                                     search_hi);
    if (campaign) {
        static const char* const kNames[] = {"", "exp", "log", "log10", "pow", "sin"};
        bool known = false;
        for (const char* name : kNames) known = known || options.only == name;
        if (!known) return usage(argv[0]);
        return run_campaign(options);
    }
    return usage(argv[0]);
}
