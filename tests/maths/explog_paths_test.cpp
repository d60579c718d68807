// The three paths of exp, log, log10 and pow, each against what it promises:
// the fast and accurate approximations within their stated error bounds of
// a 320-bit reference (computed here without the library's reductions:
// exp(x) = exp(x / 2^12)^(2^12) by its series, ln by Newton steps on that
// exp), over every table entry and the edges of the reduced ranges; and the
// multiprecision paths, which decide the rare hard arguments, giving the
// same doubles as the functions wherever the fast paths decide.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>

#include "maths/double_double.h"
#include "maths/exp_log_internal.h"
#include "maths/maths.h"
#include "maths/multiprecision.h"

namespace {

namespace mp = quelmar::maths::mp;
namespace detail = quelmar::maths::detail;
using quelmar::maths::DoubleDouble;
using quelmar::maths::from_bits;
using quelmar::maths::to_bits;

constexpr int kLimbs = 10;  // 320 bits
constexpr int kHalvings = 12;

struct Stream {
  std::uint64_t state;
  std::uint64_t next() {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  double unit() { return static_cast<double>(next() >> 11) * 0x1p-53; }
  double uniform(double a, double b) { return a + (b - a) * unit(); }
};

mp::Number number(double x) { return mp::from_double(x, kLimbs); }

// exp(t) to about 2^-300 relative for |t| < 800.
mp::Number reference_exp(const mp::Number& t) {
  mp::Number r = mp::scale2(t, -kHalvings);
  mp::Number sum = mp::from_integer(1, kLimbs);
  mp::Number term = sum;
  for (std::uint32_t n = 1; n < 60; ++n) {
    term = mp::div_small(mp::mul(term, r, kLimbs), n, kLimbs);
    sum = mp::add(sum, term, kLimbs);
  }
  for (int i = 0; i < kHalvings; ++i) sum = mp::mul(sum, sum, kLimbs);
  return sum;
}

// ln(x) for x > 0: Newton steps y + x exp(-y) - 1 from the C library's log,
// each squaring the error (2^-52, 2^-105, 2^-211, 2^-423).
mp::Number reference_log(double x) {
  mp::Number y = number(std::log(x));
  mp::Number one = mp::from_integer(1, kLimbs);
  for (int i = 0; i < 4; ++i) {
    mp::Number step = mp::sub(mp::mul(number(x), reference_exp(mp::negate(y)), kLimbs), one, kLimbs);
    y = mp::add(y, step, kLimbs);
  }
  return y;
}

// exp_quick's 2^k, from its k 2^52 modulo 2^64.
int scale_of(const detail::QuickExp& quick) {
  return static_cast<int>(static_cast<std::int64_t>(quick.scale_bits) / (std::int64_t{1} << 52));
}

mp::Number dd_number(DoubleDouble v, int exponent = 0) {
  return mp::scale2(mp::add(number(v.hi), number(v.lo), kLimbs), exponent);
}

// |approximation - exact| <= bound, the bound in absolute terms.
bool within(const mp::Number& approximation, const mp::Number& exact, const mp::Number& bound) {
  return mp::compare_magnitude(mp::sub(approximation, exact, kLimbs), bound) <= 0;
}

mp::Number relative(const mp::Number& exact, double bound) { return mp::mul(exact, number(bound), kLimbs); }

// Arguments for exp: every entry j of the finer table (t = (256 k + j)
// ln 2/256 + r, which holds every entry of the coarser one too) with r at
// the edges of its range and inside, over the whole range of k.
std::vector<double> exp_arguments() {
  std::vector<double> xs;
  Stream s{11};
  const double kStep = 0x1.62e42fefa39efp-9;  // ln(2)/256
  const double kEdges[] = {-0.5, -0.4999999, -0.25, 0.0, 0x1p-30, 0.25, 0.4999999, 0.5};
  for (int j = 0; j < 256; ++j) {
    for (int k : {-1074, -1022, -60, -1, 0, 1, 60, 1023}) {
      for (double edge : kEdges) xs.push_back((256.0 * k + j + edge) * kStep);
      xs.push_back((256.0 * k + j + s.uniform(-0.5, 0.5)) * kStep);
    }
  }
  std::vector<double> kept;
  for (double x : xs) {
    if (x > -745.0 && x < 709.7 && (x > 0x1p-50 || x < -0x1p-50)) kept.push_back(x);
  }
  return kept;
}

// Arguments for log: every table entry (leading mantissa bits i) at the
// interval's ends and inside, in several binades, and next to 1.
std::vector<double> log_arguments() {
  std::vector<double> xs;
  Stream s{12};
  for (std::uint64_t i = 0; i < 128; ++i) {
    for (std::uint64_t low : {std::uint64_t{0}, std::uint64_t{1}, (std::uint64_t{1} << 45) - 1, s.next() >> 19}) {
      std::uint64_t mantissa = (i << 45) | (low & ((std::uint64_t{1} << 45) - 1));
      for (int e : {-1074, -1022, -1, 0, 1, 1023}) {
        double x = from_bits((static_cast<std::uint64_t>(e + 1023) << 52) | mantissa);
        if (e == -1074) x = from_bits(mantissa >> 3 | 1);  // subnormal
        if (x != 1.0) xs.push_back(x);
      }
    }
  }
  for (int k = 1; k < 60; ++k) {
    xs.push_back(1.0 + std::ldexp(1.0, -k) * s.unit());
    xs.push_back(1.0 - std::ldexp(1.0, -k) * s.unit());
  }
  return xs;
}

TEST(ExpPaths, FastAndAccurateWithinTheirBounds) {
  for (double x : exp_arguments()) {
    mp::Number exact = reference_exp(number(x));
    detail::QuickExp quick = detail::exp_quick({x, 0.0});
    EXPECT_TRUE(within(dd_number(quick.value, scale_of(quick)), exact, relative(exact, detail::kExpQuickError)))
        << std::hexfloat << "exp_quick(" << x << ")";
    detail::ScaledDoubleDouble fast = detail::exp_fast({x, 0.0});
    EXPECT_TRUE(within(dd_number(fast.value, fast.exponent), exact, relative(exact, detail::kExpFastError)))
        << std::hexfloat << "exp_fast(" << x << ")";
    detail::ScaledDoubleDouble accurate = detail::exp_accurate({x, 0.0});
    EXPECT_TRUE(within(dd_number(accurate.value, accurate.exponent), exact,
                       relative(exact, detail::kExpAccurateError)))
        << std::hexfloat << "exp_accurate(" << x << ")";
  }
}

// pow hands exp a double-double argument: its low part counts.
TEST(ExpPaths, DoubleDoubleArguments) {
  Stream s{13};
  for (int i = 0; i < 2000; ++i) {
    double hi = s.uniform(-740.0, 705.0);
    double lo = hi * 0x1p-53 * s.uniform(-1.0, 1.0);
    DoubleDouble t = quelmar::maths::fast_two_sum(hi, lo);
    mp::Number exact = reference_exp(dd_number(t));
    detail::QuickExp quick = detail::exp_quick(t);
    EXPECT_TRUE(within(dd_number(quick.value, scale_of(quick)), exact, relative(exact, detail::kExpQuickError)))
        << std::hexfloat << "exp_quick(" << t.hi << " + " << t.lo << ")";
    detail::ScaledDoubleDouble fast = detail::exp_fast(t);
    EXPECT_TRUE(within(dd_number(fast.value, fast.exponent), exact, relative(exact, detail::kExpFastError)))
        << std::hexfloat << "exp_fast(" << t.hi << " + " << t.lo << ")";
    detail::ScaledDoubleDouble accurate = detail::exp_accurate(t);
    EXPECT_TRUE(within(dd_number(accurate.value, accurate.exponent), exact,
                       relative(exact, detail::kExpAccurateError)))
        << std::hexfloat << "exp_accurate(" << t.hi << " + " << t.lo << ")";
  }
}

TEST(LogPaths, FastAndAccurateWithinTheirBounds) {
  for (double x : log_arguments()) {
    mp::Number exact = reference_log(x);
    detail::LogApproximation fast = detail::log_fast(x);
    EXPECT_TRUE(within(dd_number(fast.value), exact, number(fast.error))) << std::hexfloat << "log_fast(" << x << ")";
    // The per-call bound stays within 2^-65 relative.
    EXPECT_LE(fast.error, std::fabs(fast.value.hi) * 0x1p-65) << std::hexfloat << "log_fast(" << x << ")";
    EXPECT_TRUE(within(dd_number(detail::log_accurate(x)), exact, relative(exact, detail::kLogAccurateError)))
        << std::hexfloat << "log_accurate(" << x << ")";
  }
}

// The multiprecision paths agree with the functions on arguments the fast
// paths decide, across the ranges (they are otherwise reached only by the
// rare hard cases).
TEST(ExactPaths, AgreeWithTheFunctions) {
  Stream s{14};
  for (int i = 0; i < 300; ++i) {
    double x = s.uniform(-745.0, 709.0);
    EXPECT_EQ(to_bits(detail::exp_exact(x)), to_bits(quelmar::maths::exp(x))) << std::hexfloat << "exp " << x;
    double p = from_bits(s.next() % 0x7ff0000000000000ull);
    if (p == 1.0 || p == 0.0) continue;
    EXPECT_EQ(to_bits(detail::log_exact(p)), to_bits(quelmar::maths::log(p))) << std::hexfloat << "log " << p;
    EXPECT_EQ(to_bits(detail::log10_exact(p)), to_bits(quelmar::maths::log10(p))) << std::hexfloat << "log10 " << p;
    double base = std::exp(s.uniform(-30.0, 30.0));
    double y = s.uniform(-20.0, 20.0);
    EXPECT_EQ(to_bits(detail::pow_exact(base, y)), to_bits(quelmar::maths::pow(base, y)))
        << std::hexfloat << "pow " << base << " " << y;
  }
}

}  // namespace
