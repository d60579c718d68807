#pragma once

// The library's exp, log, log10, pow and sin against MPFR's correctly
// rounded results: the reference, the comparison over a stream of arguments
// with the misses it keeps, and the lists of hard cases. Shared by the MPFR
// test and tools/maths_mpfr.cpp (the campaign, the search for hard cases
// and the check that the lists hold what they say).

#include <mpfr.h>

#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "argument_ranges.h"
#include "maths/double_double.h"

namespace maths_test {

// f(a) into r, rounded to r's precision (x and y wide enough to hold a
// double); MPFR's ternary value. mpfr_pow follows the C library's special
// values of pow and IEEE 754-2008's.
inline int mpfr_value(Function f, Args a, mpfr_ptr r, mpfr_ptr x, mpfr_ptr y) {
    mpfr_set_d(x, a.x, MPFR_RNDN);
    mpfr_set_d(y, a.y, MPFR_RNDN);
    switch (f) {
        case Function::kExp: return mpfr_exp(r, x, MPFR_RNDN);
        case Function::kLog: return mpfr_log(r, x, MPFR_RNDN);
        case Function::kLog10: return mpfr_log10(r, x, MPFR_RNDN);
        case Function::kSin: return mpfr_sin(r, x, MPFR_RNDN);
        case Function::kPow: return mpfr_pow(r, x, y, MPFR_RNDN);
    }
    return 0;
}

// The correctly rounded double of f(a): rounded once, to nearest with ties
// to even, from the exact value. MPFR's exponent range is set to the double
// one (per thread: MPFR keeps it thread-local) and each result is
// subnormalized, so that results below 2^-1022 are rounded to the subnormal
// grid once, not twice, and overflow and underflow happen where they do for
// doubles.
class Reference {
public:
    Reference() {
        // 0.5 * 2^-1073 is 2^-1074, the least subnormal; (1 - 2^-53) * 2^1024
        // is DBL_MAX.
        if (mpfr_set_emin(-1073) != 0 || mpfr_set_emax(1024) != 0)
            throw std::runtime_error("MPFR refuses the double exponent range");
        mpfr_inits2(53, x_, y_, r_, static_cast<mpfr_ptr>(nullptr));
    }
    ~Reference() { mpfr_clears(x_, y_, r_, static_cast<mpfr_ptr>(nullptr)); }
    Reference(const Reference&) = delete;
    Reference& operator=(const Reference&) = delete;

    double operator()(Function f, Args a) {
        mpfr_subnormalize(r_, mpfr_value(f, a, r_, x_, y_), MPFR_RNDN);
        return mpfr_get_d(r_, MPFR_RNDN);  // exact: r_ is a double now
    }

private:
    mpfr_t x_, y_, r_;
};

// The function under test: the library's, or in a campaign for comparison
// the C library's.
using Candidate = double (*)(Function, Args);

struct Miss {
    Function function;
    Args args;
    double got, want;
};

inline std::string describe(const Miss& m) {
    // Doubles between the two on the number line.
    const auto ordered = [](double d) {
        const auto b = static_cast<std::int64_t>(quelmar::maths::to_bits(std::fabs(d)));
        return std::signbit(d) ? -b : b;
    };
    char text[400];
    std::snprintf(text, sizeof text, "%s(%a, %a) [(%.17g, %.17g)] = %a (%.17g), correctly rounded %a (%.17g), %+" PRId64
                  " ulp", function_name(m.function), m.args.x, m.args.y, m.args.x, m.args.y, m.got, m.got, m.want,
                  m.want, std::isnan(m.got) || std::isnan(m.want) ? 0 : ordered(m.got) - ordered(m.want));
    return text;
}

struct Tally {
    static constexpr std::size_t kMaxExamples = 12;
    std::uint64_t tried = 0, misrounded = 0;
    std::vector<Miss> examples;  // the first misses

    void add(const Tally& other) {
        tried += other.tried;
        misrounded += other.misrounded;
        for (const Miss& m : other.examples)
            if (examples.size() < kMaxExamples) examples.push_back(m);
    }
};

// Checks one argument; a miss is counted and, while there is room, kept.
inline void check_one(Function f, Args a, Candidate candidate, Reference& reference, Tally& tally) {
    const double got = candidate(f, a);
    const double want = reference(f, a);
    ++tally.tried;
    if (same(got, want)) return;
    ++tally.misrounded;
    if (tally.examples.size() < Tally::kMaxExamples) tally.examples.push_back({f, a, got, want});
}

// `count` arguments of the range from the stream (seed, range, block).
inline void check_block(std::size_t range, std::uint64_t seed, std::uint64_t block, std::uint64_t count,
                        Candidate candidate, Reference& reference, Tally& tally) {
    Rng rng(seed, range, block);
    const Range& r = kRanges[range];
    for (std::uint64_t i = 0; i < count; ++i) check_one(r.function, r.draw(rng), candidate, reference, tally);
}

// The hard-to-round cases (hard_cases/*.txt, sources in their heads): the
// published lists (hard to round in every rounding mode: about half of
// their cases lie next to a midpoint, the rest next to a double), and the
// cases found with MPFR in the analyses' ranges (*_near_midpoint.txt),
// which lie next to a midpoint but not so close that the second,
// double-double step of the functions could not decide them: the published
// ones drive the multiprecision paths, these the step before (for sin,
// which has no such step, its multiprecision path again).
struct CaseFile {
    Function function;
    const char* file;
    int min_identical_bits;    // after the round bit, at least
    bool near_midpoints_only;  // every case next to a midpoint, not to a double
};

inline const CaseFile kCaseFiles[] = {
    {Function::kExp, "exp.txt", 44, false},     {Function::kExp, "exp_near_midpoint.txt", 20, true},
    {Function::kLog, "log.txt", 46, false},     {Function::kLog, "log_near_midpoint.txt", 20, true},
    {Function::kLog10, "log10.txt", 48, false}, {Function::kLog10, "log10_near_midpoint.txt", 16, true},
    {Function::kSin, "sin.txt", 46, false},     {Function::kSin, "sin_near_midpoint.txt", 20, true},
    {Function::kPow, "pow.txt", 45, false},     {Function::kPow, "pow_near_midpoint.txt", 20, true},
};

// One case per line: x, or x and y for pow, as C floating literals (hex
// or decimal); '#' starts a comment. What cannot be read is named in `bad`.
inline std::vector<Args> read_cases(const CaseFile& file, std::vector<std::string>& bad) {
    const std::string path = std::string(QUELMAR_MATHS_CASES_DIR) + "/" + file.file;
    std::ifstream in(path);
    if (!in) bad.push_back("cannot read " + path);
    const bool pair = file.function == Function::kPow;
    std::vector<Args> cases;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        line = line.substr(0, line.find('#'));
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        Args a{0.0, 0.0};
        char more = 0;
        const int read = pair ? std::sscanf(line.c_str(), "%lf %lf %c", &a.x, &a.y, &more)
                              : std::sscanf(line.c_str(), "%lf %c", &a.x, &more);
        if (read == (pair ? 2 : 1))
            cases.push_back(a);
        else
            bad.push_back(path + ":" + std::to_string(number) + ": not " + (pair ? "two numbers" : "a number"));
    }
    return cases;
}

}  // namespace maths_test
