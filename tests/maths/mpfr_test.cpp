// The library's exp, log, log10, pow and sin against MPFR's correctly
// rounded results, bit for bit: random arguments over the ranges of
// argument_ranges.h, the published hard-to-round cases, exact and midpoint
// results of pow, and the special values.
//
// QUELMAR_MATHS_COUNT sets the arguments per range (default 10^6) and
// QUELMAR_MATHS_SEED the seed of the streams; tools/maths_campaign.sh runs
// longer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

#include "argument_ranges.h"
#include "mpfr_check.h"

namespace maths_test {
namespace {

constexpr std::uint64_t kDefaultCount = 1000000;
constexpr std::uint64_t kBlock = 1 << 16;

std::uint64_t env_number(const char* name, std::uint64_t fallback) {
    const char* text = std::getenv(name);
    char* end = nullptr;
    const std::uint64_t value = text != nullptr ? std::strtoull(text, &end, 0) : 0;
    return text != nullptr && *text != '\0' && *end == '\0' ? value : fallback;
}

// Every miss kept as its own failure, then the count.
void expect_none(const Tally& tally, const std::string& what) {
    for (const Miss& m : tally.examples) ADD_FAILURE() << describe(m);
    EXPECT_EQ(tally.misrounded, 0u) << what << ": " << tally.misrounded << " of " << tally.tried
                                    << " results differ from the correctly rounded ones";
}

Tally check_all(Function f, const std::vector<Args>& args) {
    Reference reference;
    Tally tally;
    for (const Args& a : args) check_one(f, a, library, reference, tally);
    return tally;
}

Tally check_all(Function f, const std::vector<double>& xs) {
    std::vector<Args> args;
    for (double x : xs) args.push_back({x, 0.0});
    return check_all(f, args);
}

// d moved by `steps` doubles, up or down.
double next_up(double d, int steps) {
    for (; steps != 0; steps += steps > 0 ? -1 : 1) d = std::nextafter(d, steps > 0 ? INFINITY : -INFINITY);
    return d;
}

// center and `ulps` doubles on each side of it.
void add_around(std::vector<double>& out, double center, int ulps) {
    for (int k = -ulps; k <= ulps; ++k) out.push_back(next_up(center, k));
}

// ---------------------------------------------------------------------------
// Random arguments, 10^6 per range by default.

class RandomArguments : public ::testing::TestWithParam<std::size_t> {};

TEST_P(RandomArguments, CorrectlyRounded) {
    const Range& range = kRanges[GetParam()];
    const std::uint64_t count = env_number("QUELMAR_MATHS_COUNT", kDefaultCount);
    const std::uint64_t seed = env_number("QUELMAR_MATHS_SEED", 1);
    Reference reference;
    Tally tally;
    const auto start = std::chrono::steady_clock::now();
    for (std::uint64_t done = 0, block = 0; done < count; done += kBlock, ++block)
        check_block(GetParam(), seed, block, std::min(count - done, kBlock), library, reference, tally);
    std::printf("%s: %" PRIu64 " arguments (seed 0x%" PRIx64 "), %" PRIu64 " misrounded, %.2f s\n", range.description,
                tally.tried, seed, tally.misrounded,
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    expect_none(tally, range.description);
}

INSTANTIATE_TEST_SUITE_P(Mpfr, RandomArguments, ::testing::Range<std::size_t>(0, kRangeCount),
                         [](const ::testing::TestParamInfo<std::size_t>& info) {
                             return std::string(kRanges[info.param].name);
                         });

// ---------------------------------------------------------------------------
// The hard-to-round cases of hard_cases/*.txt (mpfr_check.h; that each is as
// hard as its list says is checked by maths_mpfr --check-hard-cases).

class HardCases : public ::testing::TestWithParam<std::size_t> {};

TEST_P(HardCases, CorrectlyRounded) {
    const CaseFile& file = kCaseFiles[GetParam()];
    std::vector<std::string> bad;
    const std::vector<Args> cases = read_cases(file, bad);
    for (const std::string& line : bad) ADD_FAILURE() << line;
    ASSERT_GT(cases.size(), 10u) << file.file;
    const Tally tally = check_all(file.function, cases);
    std::printf("%s: %zu hard cases, %" PRIu64 " misrounded\n", file.file, cases.size(), tally.misrounded);
    expect_none(tally, file.file);
}

INSTANTIATE_TEST_SUITE_P(Published, HardCases, ::testing::Range<std::size_t>(0, std::size(kCaseFiles)),
                         [](const ::testing::TestParamInfo<std::size_t>& info) {
                             const std::string name = kCaseFiles[info.param].file;
                             return name.substr(0, name.find('.'));
                         });

// ---------------------------------------------------------------------------
// Exact and midpoint results of pow: x^n and roots of perfect powers whose
// result has at most 53 significant bits (exact) or exactly 54 (halfway
// between two doubles), where only an exact test gets the rounding right.

enum class Kind { kExact, kMidpoint, kOther };

Kind classify(Args a) {
    mpfr_t x, y, r, r53;
    mpfr_inits2(54, x, y, r, static_cast<mpfr_ptr>(nullptr));
    mpfr_init2(r53, 53);
    Kind kind = Kind::kOther;
    // Exact in 54 bits: a midpoint exactly when the 54th bit is set.
    if (mpfr_value(Function::kPow, a, r, x, y) == 0 && mpfr_regular_p(r))
        kind = mpfr_set(r53, r, MPFR_RNDN) == 0 ? Kind::kExact : Kind::kMidpoint;
    mpfr_clears(x, y, r, r53, static_cast<mpfr_ptr>(nullptr));
    return kind;
}

std::vector<Args> exact_and_midpoint_pow_cases() {
    std::vector<Args> cases;
    Rng rng(0xE7AC7);
    // Odd bases to integer powers, up to the first power past 2^54, scaled
    // by a power of two that puts some results among the subnormals and
    // some near the top, and with both signs.
    for (double b = 3; b < 4096; b += 2)
        for (double scale : {1.0, 0x1p-40, std::ldexp(1.0, -static_cast<int>(rng.below(60)) - 5),
                             std::ldexp(1.0, static_cast<int>(rng.below(20)))})
            for (double n = 2, power = b; power < 0x1p55; ++n) {
                power *= b;
                cases.insert(cases.end(), {{b * scale, n}, {-b * scale, n}});
            }
    // Results in the subnormal range: (b 2^-k)^n with b^n 2^-kn near 2^-1074.
    for (double b = 3; b < 200; b += 2)
        for (double n = 2; n <= 9; ++n) {
            const int k = static_cast<int>(std::ceil((1074.0 - 40.0 + n * std::log2(b)) / n));
            for (int shift = -4; shift <= 4; ++shift) cases.push_back({std::ldexp(b, -(k + shift)), n});
        }
    // Squares of 27-bit odd integers: 53 or 54 significant bits.
    for (int i = 0; i < 4000; ++i) {
        const double v = static_cast<double>((1ULL << 26) + 2 * rng.below(1ULL << 25) + 1);
        cases.push_back({std::ldexp(v, static_cast<int>(rng.below(200)) - 100), 2.0});
    }
    // Roots: x = b^m 2^(m k) with y = j / m, b^j within 54 bits.
    const struct {
        int m;           // root order: x is a perfect m-th power
        double y;        // exponent j / m
        double largest;  // base bound keeping b^j within 54 bits
    } roots[] = {{2, 0.5, 0x1p26}, {2, 1.5, 0x1p18},  {2, 2.5, 0x1p10},   {2, -0.5, 0x1p26},
                 {4, 0.25, 0x1p13}, {4, 0.75, 0x1p13}, {4, 1.25, 0x1p10},  {8, 0.125, 0x1p6},
                 {8, 0.375, 0x1p6}, {2, 3.5, 0x1p7},   {4, -0.25, 0x1p13}};
    for (const auto& root : roots)
        for (int i = 0; i < 300; ++i) {
            const double b = static_cast<double>(2 * rng.below(static_cast<std::uint64_t>(root.largest / 2)) + 1);
            const int k = static_cast<int>(rng.below(40)) - 20;
            double power = 1.0;
            for (int j = 0; j < root.m; ++j) power *= b;  // exact: b^m < 2^53
            cases.push_back({std::ldexp(power, root.m * k), root.y});
        }
    return cases;
}

// The cases, and one ulp away from each exact or midpoint one, in x or in
// y: results just beside the exact ones, where an exact test that fires too
// eagerly would show.
TEST(PowExactAndMidpoint, CorrectlyRoundedAndTheirNeighbours) {
    const std::vector<Args> cases = exact_and_midpoint_pow_cases();
    std::vector<Args> neighbours;
    std::size_t exact = 0, midpoint = 0;
    for (const Args& a : cases) {
        const Kind kind = classify(a);
        exact += kind == Kind::kExact;
        midpoint += kind == Kind::kMidpoint;
        if (kind == Kind::kOther) continue;
        for (int step : {-1, 1})
            neighbours.insert(neighbours.end(), {{next_up(a.x, step), a.y}, {a.x, next_up(a.y, step)}});
    }
    const Tally tally = check_all(Function::kPow, cases);
    std::printf("pow: %zu cases, %zu exact results, %zu midpoints, %" PRIu64 " misrounded\n", cases.size(), exact,
                midpoint, tally.misrounded);
    EXPECT_GT(exact, 5000u);
    EXPECT_GT(midpoint, 1000u);
    expect_none(tally, "pow exact and midpoint results");
    expect_none(check_all(Function::kPow, neighbours), "pow next to exact and midpoint results");
}

// ---------------------------------------------------------------------------
// Special values: signed zeros, subnormal boundaries, thresholds, infinities
// and NaN, compared with MPFR like everything else.

std::vector<double> common_specials() {
    std::vector<double> s = {0.0, 0x1p-1074, 0x1p-1073, 0x0.fffffffffffffp-1022, 0x1p-1022, 0x1.0000000000001p-1022,
                             0x1p-600, 0x1p-54, 0x1p-53, 0x1p-52, 0x1p-26, 0.5, 0x1.fffffffffffffp-1, 1.0,
                             0x1.0000000000001p+0, 2.0, 3.0, 10.0, 3.141592653589793, 1.5707963267948966, 1e22, 1e23,
                             0x1p52, 0x1p53, 0x1.0000000000001p+53, 0x1p1023, DBL_MAX, INFINITY};
    const std::size_t n = s.size();
    for (std::size_t i = 0; i < n; ++i) s.push_back(-s[i]);
    s.insert(s.end(), {NAN, -NAN});
    return s;
}

TEST(SpecialValues, Exp) {
    std::vector<double> xs = common_specials();
    add_around(xs, 0x1.62e42fefa39efp+9, 64);   // largest x with a finite result
    add_around(xs, -0x1.74910d52d3051p+9, 64);  // smallest x whose result is not 0
    add_around(xs, -0x1.74385446d71c3p+9, 64);  // results near 2^-1074 * 1.5
    add_around(xs, -0x1.6232bdd7abcd2p+9, 64);  // results near 2^-1022
    for (double tiny : {0x1p-53, -0x1p-53, 0x1p-54, -0x1p-54, 0x1p-52, -0x1p-52}) add_around(xs, tiny, 16);
    for (int k = -1074; k <= 1024; ++k) xs.push_back(k * 0.6931471805599453);  // near k ln 2
    expect_none(check_all(Function::kExp, xs), "exp special values");
}

TEST(SpecialValues, LogAndLog10) {
    std::vector<double> xs = common_specials();
    for (int k = -1074; k <= 1023; ++k) add_around(xs, std::ldexp(1.0, k), 2);
    add_around(xs, 1.0, 64);
    add_around(xs, DBL_MAX, 0);
    // Powers of ten, and quantities as a lab writes them (strtod rounds
    // correctly): the one rational log10 next to its irrational neighbours.
    for (int k = -323; k <= 308; ++k) add_around(xs, std::strtod(("1e" + std::to_string(k)).c_str(), nullptr), 4);
    for (int k = -30; k <= 30; ++k)
        for (std::string m : {"1.5e", "2e", "2.5e", "5e"})
            xs.push_back(std::strtod((m + std::to_string(k)).c_str(), nullptr));
    expect_none(check_all(Function::kLog, xs), "log special values");
    expect_none(check_all(Function::kLog10, xs), "log10 special values");
}

TEST(SpecialValues, Sin) {
    std::vector<double> xs = common_specials();
    for (int k = -1074; k <= 1023; ++k)
        for (double sign : {1.0, -1.0}) xs.push_back(sign * std::ldexp(1.0, k));
    add_around(xs, 0x1.6ac5b262ca1ffp+849, 8);  // the double nearest a multiple of pi/2
    add_around(xs, 0x1.d8cdbd2c5f2d4p-27, 16);  // about where sin(x) stops rounding to x
    for (int k = 1; k < 2000; ++k) xs.push_back(k * 1.5707963267948966);
    expect_none(check_all(Function::kSin, xs), "sin special values");
}

// The C library's special values of pow and IEEE 754's: every pair of the special
// bases and exponents; and where 2^y and 10^y leave the doubles and where
// 2^y is a tie.
TEST(SpecialValues, Pow) {
    std::vector<double> bases = common_specials();
    std::vector<double> exponents = common_specials();
    for (double y : {1.5, 2.5, 0.25, 3.0, 4.0, 5.0, 1022.0, 1023.0, 1024.0, 1074.0, 1075.0, 1076.0,
                     0x1.fffffffffffffp+52, 0x1p63, 0x1p64, 1.0 / 3.0})
        for (double sign : {1.0, -1.0}) exponents.push_back(sign * y);
    for (double x : {-8.0, 4.0, 9.0, 0.25, 1e-300, 1e300}) bases.push_back(x);
    std::vector<Args> pairs;
    for (double x : bases)
        for (double y : exponents) pairs.push_back({x, y});
    for (const Args edge : {Args{2.0, -1075.0}, {2.0, -1074.0}, {2.0, -1022.0}, {2.0, 1024.0}, {2.0, -1074.5},
                            {2.0, -1075.5}, {10.0, 308.25471555991675}, {10.0, -323.3062153431158},
                            {10.0, -307.6526555685888}})
        for (int k = -32; k <= 32; ++k) pairs.push_back({edge.x, next_up(edge.y, k)});
    expect_none(check_all(Function::kPow, pairs), "pow special values");
}

}  // namespace
}  // namespace maths_test
