// The exact paths of exp, log, log10 and pow: Ziv's loop in multiprecision.
//
// Reached by the arguments whose double-double result lies within 2^-99 or
// so of a rounding boundary (exp's and log's hardest cases are within about
// 2^-113 of one), after pow's exact and half-way results have been set
// aside: none of the values computed here is a double or a midpoint, so the
// loop ends as soon as the precision is fine enough. Each step doubles the
// precision, from 192 bits; the last, at 4000 bits, takes the nearest double
// of its approximation.
//
// Error bounds. Every multiprecision operation truncates toward zero, with
// an error below one unit of its result's last bit (below 2^(1-W) relative
// at W bits). The bounds below are in those terms; the functions carry two
// guard limbs so that their stated bounds hold with room to spare.
#include <cstdint>

#include "maths/exp_log_internal.h"
#include "maths/multiprecision.h"

namespace quelmar::maths::detail {

namespace {

using mp::Number;

constexpr int kFirstLimbs = 6;  // 192 bits
constexpr int kGuardLimbs = 2;
constexpr int kLastLimbs = mp::kMaxLimbs - 2 * kGuardLimbs;  // pow adds guard limbs twice
// exp's argument is divided by 2^kSquarings before its series and the
// result squared as often: the series then gains at least 9 bits a term.
constexpr int kSquarings = 8;
constexpr double kInvLn2 = 0x1.71547652b82fep+0;

int bits_of(int limbs) { return mp::kLimbBits * limbs; }

// |a| < 2^magnitude_exponent(a).
int magnitude_exponent(const Number& a) { return a.exponent; }

// exp(t) for |t| < 1000 (t taken as exact), with relative error below
// 2^(-32 limbs). With w = limbs + 2 limbs, W = 32 w bits:
// - k = round(t / ln 2) in doubles (any k will do; |k| < 2^11), and
//   r = t - k ln2: ln2 truncated (2^-W), times |k| and truncated (2^(11-W)
//   with |k ln 2| < 2^11), r truncated (2^(-1-W)): |error| < 2^(12.1-W);
// - exp(r / 2^8) by its series: terms down to 2^(-W-2), each carrying 2n
//   truncations of 2^(1-W) relative (2n 2^(1-W) |r/256|^n/n!, negligible),
//   N < W additions each within 2^(1-W) (the partial sums are below 2);
//   relative error below (N + 2) 2^(1-W) plus the reduction's 2^(12.1-W-8);
// - eight squarings double a relative error each and add 2^(1-W): the
//   result is within 2^8 (N + 3) 2^(1-W) + 2^(12.1-W) < 2^(22.2-W) relative
//   (N < 2^12.1), below 2^(-32 limbs) since W = 32 limbs + 64.
Number exp_number(const Number& t, int limbs) {
  const int w = limbs + kGuardLimbs;
  const int target = -bits_of(w) - 2;  // stop the series below 2^target
  double td = mp::nearest_double(t);
  double kd = (td * kInvLn2 + kRoundingShift) - kRoundingShift;
  int k = static_cast<int>(kd);
  Number k_ln2 = mp::mul_small(mp::ln2(w), static_cast<std::uint32_t>(k < 0 ? -k : k), w);
  if (k < 0) k_ln2 = mp::negate(k_ln2);
  Number r = mp::scale2(mp::sub(t, k_ln2, w), -kSquarings);
  Number one = mp::from_integer(1, w);
  Number sum = mp::add(one, r, w);
  Number term = r;
  for (std::uint32_t n = 2; !mp::is_zero(term) && magnitude_exponent(term) >= target; ++n) {
    term = mp::div_small(mp::mul(term, r, w), n, w);
    sum = mp::add(sum, term, w);
  }
  for (int i = 0; i < kSquarings; ++i) sum = mp::mul(sum, sum, w);
  return mp::scale2(sum, k);
}

// ln(1 + d) for |d| < 2^-80 by its series, within 2^(-W-60) |d| (W = 32
// limbs): the terms shrink by 2^80 each.
Number log1p_small(const Number& d, int limbs) {
  const int target = magnitude_exponent(d) - bits_of(limbs) - 4;
  Number sum = d;
  Number power = d;
  for (std::uint32_t n = 2;; ++n) {
    power = mp::mul(power, d, limbs);
    Number term = mp::div_small(power, n, limbs);
    if (mp::is_zero(term) || magnitude_exponent(term) < target) break;
    sum = (n % 2 == 0) ? mp::sub(sum, term, limbs) : mp::add(sum, term, limbs);
  }
  return sum;
}

// ln(x) for a positive finite x != 1, with |error| < 2^error_exponent. One
// Newton step from the double-double logarithm y0 (within 2^-99 relative):
// ln(x) = y0 + ln(1 + d), d = x exp(-y0) - 1, |d| < 2^-88. With W = 32 w
// bits: exp(-y0) within 2^(-W+64) relative (exp_number at w - 2 limbs),
// times x truncated (2^(1-W)), minus 1 (exact but for d's last bit): d
// within 2^(-W+64.1) absolute; the series adds 2^(-W-60) |d|; the final sum
// is truncated within 2^(1-W) |L|. So |error| < 2^(-W+64.2) + 2^(1-W) |L|
// <= 2^(-W+65) max(1, |L|).
// y0 is log_accurate(x), which the caller works out once for every round.
Number log_number(double x, DoubleDouble y0, int limbs, int& error_exponent) {
  const int w = limbs + kGuardLimbs;
  Number y = mp::add(mp::from_double(y0.hi, w), mp::from_double(y0.lo, w), w);
  Number e = exp_number(mp::negate(y), w - kGuardLimbs);
  Number d = mp::sub(mp::mul(mp::from_double(x, w), e, w), mp::from_integer(1, w), w);
  Number result = mp::add(y, log1p_small(d, w), w);
  int scale = magnitude_exponent(result) > 0 ? magnitude_exponent(result) : 0;
  error_exponent = -bits_of(w) + 65 + scale;
  return result;
}

// Ziv's loop: evaluate(limbs, error_exponent) gives an approximation and its
// error bound 2^error_exponent, finer as limbs grows.
template <typename Evaluate>
double ziv_loop(Evaluate evaluate) {
  for (int limbs = kFirstLimbs;; limbs *= 2) {
    if (limbs > kLastLimbs) limbs = kLastLimbs;
    int error_exponent = 0;
    Number approximation = evaluate(limbs, error_exponent);
    double result;
    if (mp::round_to_double(approximation, 1, error_exponent, result)) return result;
    if (limbs == kLastLimbs) return mp::nearest_double(approximation);
  }
}

}  // namespace

double exp_exact(double x) noexcept {
  return ziv_loop([x](int limbs, int& error_exponent) {
    Number result = exp_number(mp::from_double(x, limbs), limbs);
    // |result| < 2^exponent and the relative error is below 2^(-32 limbs).
    error_exponent = magnitude_exponent(result) - bits_of(limbs);
    return result;
  });
}

double log_exact(double x) noexcept {
  const DoubleDouble y0 = log_accurate(x);
  return ziv_loop([x, y0](int limbs, int& error_exponent) { return log_number(x, y0, limbs, error_exponent); });
}

double log10_exact(double x) noexcept {
  const DoubleDouble y0 = log_accurate(x);
  return ziv_loop([x, y0](int limbs, int& error_exponent) {
    const int w = limbs + kGuardLimbs;
    int log_error = 0;
    Number ln = log_number(x, y0, limbs, log_error);
    // ln(x) / ln(10): ln 10 truncated (2^(2-W) relative), the quotient
    // truncated (2^(1-W)), and ln's error divided by ln 10 > 2: within
    // 2^(log_error - 1) + 2^(3-W) |result| < 2^(log_error + 1) since
    // log_error >= 65 - W + log2|ln x|.
    Number result = mp::div(ln, mp::ln10(w), w);
    error_exponent = log_error + 1;
    return result;
  });
}

double pow_exact(double ax, double y) noexcept {
  const DoubleDouble y0 = log_accurate(ax);
  return ziv_loop([ax, y, y0](int limbs, int& error_exponent) {
    const int w = limbs + kGuardLimbs;
    int log_error = 0;
    Number ln = log_number(ax, y0, limbs + kGuardLimbs, log_error);
    // t = y ln|x|: ln's error times |y| < 2^(ey), plus the product's
    // truncation 2^(1-W) |t|. The caller keeps |t| < 1000.
    Number t = mp::mul(mp::from_double(y, w), ln, w);
    Number ay = mp::from_double(y < 0 ? -y : y, 2);
    int t_error = magnitude_exponent(ay) + log_error;
    int truncation = magnitude_exponent(t) + 1 - bits_of(w);
    if (truncation > t_error) t_error = truncation;
    t_error += 1;
    // exp(t) within 2^(-32 w) relative for t itself, and t's error e makes
    // a relative error below 1.01 e (e < 2^-60): in all below
    // 2^(t_error + 1) relative.
    Number result = exp_number(t, w);
    int relative = t_error + 1;
    if (relative < -bits_of(w) + 1) relative = -bits_of(w) + 1;
    error_exponent = magnitude_exponent(result) + relative + 1;
    return result;
  });
}

}  // namespace quelmar::maths::detail
