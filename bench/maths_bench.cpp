// Nanoseconds per call of the library's correctly rounded exp, log, log10,
// pow and sin against the C library's, on the argument streams the MPFR
// test checks (tests/maths/argument_ranges.h): the analyses' own forms
// (Gaussian and logistic terms, 2^y and 10^y, cubes, factors to a t
// quantile) and the ranges that cover every double.
//
// Each benchmark cycles through 4096 arguments drawn once, one call per
// iteration, so that branch predictors see a realistic mix rather than one
// argument again and again.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "argument_ranges.h"
#include "maths/maths.h"

namespace {

using maths_test::Args;
using maths_test::Function;
using maths_test::kRanges;

constexpr std::size_t kArguments = 4096;  // a power of two: the index wraps with a mask
constexpr std::uint64_t kSeed = 0xBE7C4;

std::vector<Args> arguments_of(std::size_t range) {
    maths_test::Rng rng(kSeed, range, 0);
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

// The library's function and the C library's for the range's function.
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

const bool kRegistered = [] {
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
    return true;
}();

}  // namespace
