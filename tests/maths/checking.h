#pragma once

// Comparing a maths function with MPFR's correctly rounded result over a
// stream of arguments, and describing the arguments where they differ.

#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "argument_ranges.h"
#include "maths/maths.h"
#include "mpfr_reference.h"

namespace maths_test {

// The function under test: the library's, or for comparison the C
// library's (`--libm`).
using Candidate = double (*)(Function, Args);

inline double library(Function f, Args a) {
    switch (f) {
        case Function::kExp: return quelmar::maths::exp(a.x);
        case Function::kLog: return quelmar::maths::log(a.x);
        case Function::kLog10: return quelmar::maths::log10(a.x);
        case Function::kPow: return quelmar::maths::pow(a.x, a.y);
        case Function::kSin: return quelmar::maths::sin(a.x);
    }
    return NAN;
}

inline double c_library(Function f, Args a) {
    switch (f) {
        case Function::kExp: return std::exp(a.x);
        case Function::kLog: return std::log(a.x);
        case Function::kLog10: return std::log10(a.x);
        case Function::kPow: return std::pow(a.x, a.y);
        case Function::kSin: return std::sin(a.x);
    }
    return NAN;
}

inline std::uint64_t bits_of(double d) {
    std::uint64_t b;
    std::memcpy(&b, &d, sizeof b);
    return b;
}

// Bit for bit, the sign of zero included; any NaN matches any NaN.
inline bool same(double got, double want) {
    if (std::isnan(got) || std::isnan(want)) return std::isnan(got) && std::isnan(want);
    return bits_of(got) == bits_of(want);
}

// Doubles between the two on the number line (both not NaN).
inline std::int64_t ulps_apart(double got, double want) {
    const auto ordered = [](double d) {
        const std::int64_t b = static_cast<std::int64_t>(bits_of(d) & ~(1ULL << 63));
        return std::signbit(d) ? -b : b;
    };
    return ordered(got) - ordered(want);
}

struct Miss {
    Function function;
    Args args;
    double got;
    double want;
};

inline std::string describe(const Miss& m) {
    char call[160];
    if (m.function == Function::kPow)
        std::snprintf(call, sizeof call, "pow(%a, %a) [pow(%.17g, %.17g)]", m.args.x, m.args.y, m.args.x, m.args.y);
    else
        std::snprintf(call, sizeof call, "%s(%a) [%s(%.17g)]", function_name(m.function), m.args.x,
                      function_name(m.function), m.args.x);
    char text[400];
    if (std::isnan(m.got) || std::isnan(m.want))
        std::snprintf(text, sizeof text, "%s = %a, correctly rounded %a", call, m.got, m.want);
    else
        std::snprintf(text, sizeof text, "%s = %a (%.17g), correctly rounded %a (%.17g), %+" PRId64 " ulp", call,
                      m.got, m.got, m.want, m.want, ulps_apart(m.got, m.want));
    return text;
}

struct Tally {
    static constexpr std::size_t kMaxExamples = 12;
    std::uint64_t tried = 0;
    std::uint64_t misrounded = 0;
    std::vector<Miss> examples;

    void add(const Tally& other) {
        tried += other.tried;
        misrounded += other.misrounded;
        for (const Miss& m : other.examples)
            if (examples.size() < kMaxExamples) examples.push_back(m);
    }
};

// Checks one argument; a miss is counted and, while there is room, kept.
inline bool check_one(Function f, Args a, Candidate candidate, Reference& reference, Tally& tally) {
    const double got = candidate(f, a);
    const double want = reference(f, a);
    ++tally.tried;
    if (same(got, want)) return true;
    ++tally.misrounded;
    if (tally.examples.size() < Tally::kMaxExamples) tally.examples.push_back({f, a, got, want});
    return false;
}

// `count` arguments of the range from the stream (seed, range, block).
inline void check_block(std::size_t range, std::uint64_t seed, std::uint64_t block, std::uint64_t count,
                        Candidate candidate, Reference& reference, Tally& tally) {
    Rng rng(seed, range, block);
    const Range& r = kRanges[range];
    for (std::uint64_t i = 0; i < count; ++i) check_one(r.function, r.draw(rng), candidate, reference, tally);
}

}  // namespace maths_test
