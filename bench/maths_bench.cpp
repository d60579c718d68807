// Nanoseconds per call of the library's correctly rounded exp, log, log10,
// pow and sin against the C library's.
//
//   maths_bench [Google Benchmark options]
//
// times both on the argument streams the MPFR test checks
// (tests/maths/argument_ranges.h): the analyses' own forms (Gaussian and
// logistic terms, 2^y and 10^y, cubes, factors to a t quantile) and the
// ranges that cover every double. Each benchmark cycles through 4096
// arguments drawn once, one call per iteration, so that branch predictors see
// a realistic mix rather than one argument again and again.
//
//   maths_bench --table
//
// prints one plain table, in one run: per function and range, ours, the C
// library's and their ratio (bench/maths_table.sh builds and runs it).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "argument_ranges.h"
#include "maths/maths.h"

namespace {

using maths_test::Args;
using maths_test::Function;
using maths_test::kRanges;
using maths_test::Rng;

constexpr std::size_t kArguments = 4096;  // a power of two: the index wraps with a mask
constexpr std::uint64_t kSeed = 0xBE7C4;

// The library's function and the C library's for the range's function,
// called through a pointer so that neither is inlined into the loop.
using Call = double (*)(const Args&);

Call library_call(Function f) {
    switch (f) {
        case Function::kExp: return [](const Args& a) { return quelmar::maths::exp(a.x); };
        case Function::kLog: return [](const Args& a) { return quelmar::maths::log(a.x); };
        case Function::kLog10: return [](const Args& a) { return quelmar::maths::log10(a.x); };
        case Function::kPow: return [](const Args& a) { return quelmar::maths::pow(a.x, a.y); };
        case Function::kSin: return [](const Args& a) { return quelmar::maths::sin(a.x); };
    }
    return nullptr;
}

Call c_library_call(Function f) {
    switch (f) {
        case Function::kExp: return [](const Args& a) { return std::exp(a.x); };
        case Function::kLog: return [](const Args& a) { return std::log(a.x); };
        case Function::kLog10: return [](const Args& a) { return std::log10(a.x); };
        case Function::kPow: return [](const Args& a) { return std::pow(a.x, a.y); };
        case Function::kSin: return [](const Args& a) { return std::sin(a.x); };
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Google Benchmark, per range of the MPFR test.

std::vector<Args> arguments_of(std::size_t range) {
    Rng rng(kSeed, range, 0);
    std::vector<Args> args(kArguments);
    for (Args& a : args) a = kRanges[range].draw(rng);
    return args;
}

template <typename Call>
void run(benchmark::State& state, const std::vector<Args>& args, Call call) {
    std::size_t i = 0;
    for (auto _ : state) {
        const Args& a = args[i++ & (kArguments - 1)];
        double r = call(a);
        benchmark::DoNotOptimize(r);
    }
    state.SetItemsProcessed(state.iterations());
}

void register_ranges() {
    for (std::size_t r = 0; r < maths_test::kRangeCount; ++r) {
        const std::string name = std::string("BM_") + kRanges[r].name;
        const Call ours = library_call(kRanges[r].function);
        const Call theirs = c_library_call(kRanges[r].function);
        const auto args = std::make_shared<const std::vector<Args>>(arguments_of(r));
        benchmark::RegisterBenchmark((name + "/quelmar").c_str(),
                                     [args, ours](benchmark::State& state) { run(state, *args, ours); });
        benchmark::RegisterBenchmark((name + "/libm").c_str(),
                                     [args, theirs](benchmark::State& state) { run(state, *args, theirs); });
    }
}

// ---------------------------------------------------------------------------
// The table: the functions on the ranges a reader compares C libraries on.

struct TableRow {
    Function function;
    const char* label;
    Args (*draw)(Rng&);
};

// x in (0, 4]: 4 (1 - u) with u in [0, 1) in steps of 2^-53.
double up_to_four(Rng& r) { return 4.0 * (1.0 - r.unit()); }

const TableRow kTable[] = {
    {Function::kExp, "exp, x in [-1, 1]", [](Rng& r) { return Args{r.uniform(-1.0, 1.0), 0}; }},
    {Function::kLog, "log, x in [0.5, 2]", [](Rng& r) { return Args{r.uniform(0.5, 2.0), 0}; }},
    {Function::kLog10, "log10, all positive doubles", [](Rng& r) { return Args{r.finite_bits(true), 0}; }},
    {Function::kPow, "pow, x in (0, 4], y in [-200, 200]",
     [](Rng& r) { return Args{up_to_four(r), r.uniform(-200.0, 200.0)}; }},
    {Function::kPow, "pow, x in [-4, 4], y integer in [-200, 200]",
     [](Rng& r) { return Args{r.sign() * up_to_four(r), std::nearbyint(r.uniform(-200.5, 200.5))}; }},
    {Function::kSin, "sin, x in [-8, 8]", [](Rng& r) { return Args{r.uniform(-8.0, 8.0), 0}; }},
};

constexpr int kRounds = 31;
constexpr int kPassesPerRound = 16;  // over the 4096 arguments

double thread_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Nanoseconds per call over one round; the results are summed so that no
// call can be left out.
double time_round(Call call, const std::vector<Args>& args, double& sink) {
    double sum = 0.0;
    const double start = thread_seconds();
    for (int pass = 0; pass < kPassesPerRound; ++pass) {
        for (const Args& a : args) sum += call(a);
    }
    const double seconds = thread_seconds() - start;
    sink += sum;
    return seconds * 1e9 / static_cast<double>(kPassesPerRound * args.size());
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Processor time of this thread per call, the two sides alternating round by
// round: the median of each side's rounds, and the median of the rounds'
// ratios, so that a load that comes and goes meets both sides alike.
int print_table() {
    std::printf("maths: ns per call on one thread (thread CPU time), ours against the C library's;\n"
                "medians of %d alternating rounds of %zu calls, the ratio the median of the rounds' ratios\n",
                kRounds, kPassesPerRound * kArguments);
    std::printf("%-46s %8s %8s %7s\n", "function, arguments", "ours", "libm", "ratio");
    double sink = 0.0;
    for (std::size_t row = 0; row < sizeof kTable / sizeof kTable[0]; ++row) {
        const TableRow& t = kTable[row];
        Rng rng(kSeed, 1000 + row, 0);
        std::vector<Args> args(kArguments);
        for (Args& a : args) a = t.draw(rng);
        const Call ours = library_call(t.function);
        const Call theirs = c_library_call(t.function);
        std::vector<double> our_times, their_times, ratios;
        for (int round = 0; round < kRounds; ++round) {
            our_times.push_back(time_round(ours, args, sink));
            their_times.push_back(time_round(theirs, args, sink));
            ratios.push_back(our_times.back() / their_times.back());
        }
        std::printf("%-46s %8.1f %8.1f %7.2f\n", t.label, median(our_times), median(their_times), median(ratios));
    }
    volatile double kept = sink;  // so that the sums, and the calls, are kept
    (void)kept;
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--table") == 0) return print_table();
    }
    register_ranges();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
